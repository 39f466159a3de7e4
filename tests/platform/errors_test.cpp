// errno values folded into the platform's error numbers. The serial code
// compares these numbers directly, so each row is a behaviour it relies on.
#include "platform/errors.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace platform {
namespace {

struct ErrnoCase {
  int err;
  std::uint32_t expected;
};

class ErrnoMapping : public ::testing::TestWithParam<ErrnoCase> {};

TEST_P(ErrnoMapping, FoldsIntoItsPlatformNumber) {
  EXPECT_EQ(ErrorNumber(FromErrno(GetParam().err)), GetParam().expected)
      << "errno " << GetParam().err;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ErrnoMapping,
    ::testing::Values(ErrnoCase{0, 0},                                   // success
                      ErrnoCase{ENOENT, 2}, ErrnoCase{ENODEV, 2},        // no such device
                      ErrnoCase{ENXIO, 2},                               //
                      ErrnoCase{EACCES, 5}, ErrnoCase{EPERM, 5},         // not in dialout
                      ErrnoCase{EBUSY, 32}, ErrnoCase{EWOULDBLOCK, 32},  // another owner
                      ErrnoCase{ENOTTY, 1},                              // not a terminal
                      ErrnoCase{EINVAL, 87},                             // bad parameter
                      ErrnoCase{EIO, 1117},                              // device I/O error
                      ErrnoCase{ETIMEDOUT, 1460},                        // time-out
                      ErrnoCase{EISDIR, 31}, ErrnoCase{ENOMEM, 31},      // anything else
                      ErrnoCase{-1, 31}),
    [](const ::testing::TestParamInfo<ErrnoCase>& info) {
      const char* name = info.param.err == 0 ? "None" : strerrorname_np(info.param.err);
      return std::string(name ? name : "Unknown");
    });

}  // namespace
}  // namespace platform
