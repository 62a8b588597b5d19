/* A minimal harness for the C tests of the exported interface: each case is
 * a function; a failed CHECK marks the case failed and names the line. */
#ifndef TARNWICK_TESTS_ABI_CHECK_H
#define TARNWICK_TESTS_ABI_CHECK_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>

static int check_case_failed;
static int check_passed;
static int check_failed;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      check_case_failed = 1;                                                   \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                          \
  } while (0)

/* Bit-for-bit comparison, so NaN payloads and the sign of zero count. */
static inline uint64_t check_bits(double x) {
  uint64_t b;
  memcpy(&b, &x, sizeof b);
  return b;
}

static inline double check_from_bits(uint64_t b) {
  double x;
  memcpy(&x, &b, sizeof x);
  return x;
}

#define CHECK_SAME_DOUBLE(a, b) CHECK(check_bits(a) == check_bits(b))
#define CHECK_STR(a, b) CHECK((a) != NULL && strcmp((a), (b)) == 0)

#define RUN_CASE(fn)                        \
  do {                                      \
    check_case_failed = 0;                  \
    fn();                                   \
    if (check_case_failed) {                \
      ++check_failed;                       \
      fprintf(stderr, "FAILED: %s\n", #fn); \
    } else {                                \
      ++check_passed;                       \
    }                                       \
  } while (0)

static inline int check_report(void) {
  printf("%d passed, %d failed\n", check_passed, check_failed);
  return check_failed == 0 && check_passed > 0 ? 0 : 1;
}

#endif /* TARNWICK_TESTS_ABI_CHECK_H */
