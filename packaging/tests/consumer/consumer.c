/* A host built against an installed tarnwick, the way a user's project would
 * be: it checks that the header it compiled against and the library it loaded
 * agree, then drives one attempt through the run entry and the queries. The
 * attempt is cancelled before it starts, so it ends at once and the check
 * does not depend on the machine's speed. Compiles as C and as C++. */
#include <stdio.h>
#include <string.h>
#include <tarnwick.h>

/* The version the package metadata (CMake or pkg-config) announced. */
#ifndef EXPECTED_VERSION
#error "build with -DEXPECTED_VERSION=\"x.y.z\""
#endif

static int failures = 0;

static void expect(int ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "consumer: %s\n", what);
    ++failures;
  }
}

int main(void) {
  tarnwick_config_t config;
  tarnwick_result_t result;
  tarnwick_handle_t* handle;
  const char* reason;

  expect(tarnwick_abi_version() == TARNWICK_ABI_VERSION,
         "interface version differs from the header's");
  expect(strcmp(tarnwick_version(), EXPECTED_VERSION) == 0,
         "library version differs from the package's");
  expect(strcmp(TARNWICK_VERSION_STRING, EXPECTED_VERSION) == 0,
         "installed version header differs from the package's");
  expect(tarnwick_default_config(&config) == 1 && config.size == sizeof config,
         "default configuration not filled");

  handle = tarnwick_create();
  if (handle == NULL) {
    fprintf(stderr, "consumer: no handle\n");
    return 1;
  }
  tarnwick_cancel(handle);
  expect(tarnwick_run(handle, &config, NULL, NULL) == TARNWICK_STATUS_CANCELLED,
         "a run cancelled before it started was not reported as cancelled");
  expect(tarnwick_result(handle, &result) == 1 && result.status == TARNWICK_STATUS_CANCELLED,
         "result record missing or wrong");
  reason = tarnwick_reason(handle);
  expect(reason != NULL && strcmp(reason, "cancelled before starting") == 0, "wrong reason");
  tarnwick_free(handle);

  if (failures == 0) {
    printf("consumer: tarnwick %s, interface %d\n", tarnwick_version(),
           (int)tarnwick_abi_version());
  }
  return failures == 0 ? 0 : 1;
}
