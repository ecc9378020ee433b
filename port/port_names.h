// The names of the four ports' shared regions, indexed by port number. Not
// exported: hosts only ever name a port by its number. Visible inside the
// library and to the tests, which check that the names stay distinct and of
// the form "<prefix>.Port.<digit>".
#pragma once

namespace vexa::port {
extern const char *const k_region_names[4];
}
