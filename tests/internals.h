// The one door through which the tests reach inside the library: the
// internal headers of the platform, the shared block, the endpoint threads
// and logging. A test that needs more than the exported interface includes
// this, and nothing under shm/ or port/ directly, so that what the tests
// lean on inside is seen in one place.
#pragma once

#include "port/port_names.h"
#include "shm/block/membuf_internal.h"
#include "shm/endpoint/thread_internal.h"
#include "shm/log_internal.h"
#include "shm/posix/posix_internal.h"
#include "shm/tsan.h"
#include "shm/win_api.h"
