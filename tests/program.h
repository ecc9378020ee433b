// A program under test as a real process: the built binary started through a
// child role (so it dies with the test), its standard input and output on
// pipes, its output read line by line with a time-out as a safety net.
#pragma once

#include <sys/types.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace vt {

class Program {
  public:
    // Starts path with argv[0] as given and args. Neither debug switch
    // (VEXA_DEBUG, ORVO_DEBUG) is passed on; debug, when given, is the one
    // assignment NAME=value to pass instead.
    Program(const std::string &path, const std::string &argv0, const std::vector<std::string> &args,
            const char *debug = nullptr);
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;
    ~Program();

    pid_t pid() const { return started_pid_; }
    // Writes text to the program's standard input; false if it could not.
    bool type(const std::string &text);
    void end_input();
    // True once the program has read everything typed so far.
    bool input_drained() const;
    void kill(int sig);

    // The next line, or false at the end of the output or after the deadline
    // (milliseconds on the steady clock).
    bool next(std::string &line, long deadline_ms);
    // Reads until a line equals want (or starts with it, with prefix); false
    // at the end of the output or after 30 s.
    bool expect(const std::string &want, bool prefix = false, std::string *got = nullptr);
    // Everything up to the end of the output, including an unfinished line.
    std::string rest();
    // Exit status (128 + signal for a killed one), or -1 after 30 s.
    int wait();
    // Every line read so far, the library's log lines included.
    const std::vector<std::string> &lines() const { return lines_; }
    // The same, as one text: what a failing check prints.
    std::string transcript() const;

  private:
    pid_t pid_ = -1; // until reaped
    pid_t started_pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    std::string buf_;
    std::vector<std::string> lines_;
};

long now_ms();

// True once no port's region is left, nor any named object that one of the
// given processes created (their names carry the creator's process id); a
// creation first sweeps away what killed processes held.
bool nothing_left(std::initializer_list<const Program *> programs);

} // namespace vt
