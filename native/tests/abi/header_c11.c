/* Compiled alone as strict C11: the public header must need nothing else. */
#include <stddef.h>

#include "tarnwick.h"

_Static_assert(offsetof(tarnwick_result_t, has_cv) == 84, "has_cv ends the result record");
_Static_assert(offsetof(tarnwick_progress_t, operations) == 32, "progress operations at 32");
_Static_assert(offsetof(tarnwick_config_t, measure_seconds) == 24, "window at 24");

_Static_assert(TARNWICK_VERSION_MAJOR >= 0 && TARNWICK_VERSION_MINOR >= 0 &&
                   TARNWICK_VERSION_PATCH >= 0,
               "the version numbers are integer constants");

int tarnwick_header_c11(void);
int tarnwick_header_c11(void) { return TARNWICK_ABI_VERSION; }
