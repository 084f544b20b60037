// What every fuzz target here reads: one byte of choices, which picks the
// fake platform's answers, then a C string (it ends at its first NUL, as a
// command line or a path does).
#ifndef UPDATER_TESTS_FUZZ_FUZZ_INPUT_H_
#define UPDATER_TESTS_FUZZ_FUZZ_INPUT_H_

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

struct FuzzInput {
  uint8_t choices;
  std::string text;
};

inline FuzzInput ReadFuzzInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return FuzzInput{0, ""};
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  text.resize(strlen(text.c_str()));
  return FuzzInput{data[0], text};
}

// A property that does not hold is a finding: libFuzzer keeps the input.
inline void Require(bool condition) {
  if (!condition)
    abort();
}

#endif  // UPDATER_TESTS_FUZZ_FUZZ_INPUT_H_
