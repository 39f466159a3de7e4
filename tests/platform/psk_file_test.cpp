#include "platform/psk_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr char kLine[] = "gateway-7:00112233445566778899aabbccddeeff";

class PskFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/psk_file_test.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& text, mode_t mode) {
    const std::string path = dir_ + "/key";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    ::chmod(path.c_str(), mode);
    return path;
  }

  std::string dir_;
};

TEST_F(PskFile, OwnersOnlyFileIsRead) {
  for (const char* text : {"gateway-7:00112233445566778899AABBCCDDEEFF\n", kLine}) {
    platform::PreSharedKey key;
    std::string error;
    ASSERT_TRUE(platform::ReadPskFile(Write(text, 0600), key, error)) << error;
    EXPECT_EQ(key.Identity(), "gateway-7");
    ASSERT_EQ(key.Key().size(), 16u);
    EXPECT_EQ(key.Key()[0], 0x00);
    EXPECT_EQ(key.Key()[15], 0xFF);
  }
}

TEST_F(PskFile, FileOthersMayReadIsRefusedWithTheFix) {
  for (const mode_t mode : {0640, 0604, 0620, 0660, 0644, 0602}) {
    SCOPED_TRACE(mode);
    const std::string path = Write(kLine, mode);
    platform::PreSharedKey key;
    std::string error;
    EXPECT_FALSE(platform::ReadPskFile(path, key, error));
    EXPECT_NE(error.find("chmod 600 " + path), std::string::npos) << error;
    EXPECT_TRUE(key.Empty());
  }
}

TEST_F(PskFile, WhatIsNotARegularFileIsRefused) {
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string sub = dir_ + "/dir";
  fs::create_directory(sub);
  ::chmod(sub.c_str(), 0700);
  for (const std::string& path : {fifo, sub, dir_ + "/missing"}) {
    SCOPED_TRACE(path);
    platform::PreSharedKey key;
    std::string error;
    EXPECT_FALSE(platform::ReadPskFile(path, key, error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
  }
}

TEST_F(PskFile, FileOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
  const std::string path = Write(kLine, 0600);
  ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  platform::PreSharedKey key;
  std::string error;
  EXPECT_FALSE(platform::ReadPskFile(path, key, error));
  EXPECT_NE(error.find("another user"), std::string::npos) << error;
}

TEST_F(PskFile, AnythingButOneWellFormedLineIsRefused) {
  const char* const bad[] = {
      "",
      "\n",
      "00112233445566778899aabbccddeeff",                         // no identity
      ":00112233445566778899aabbccddeeff",                        // empty identity
      "gateway 7:00112233445566778899aabbccddeeff",               // space in it
      "gateway-7:0011223344556677",                               // 8 bytes: too short
      "gateway-7:00112233445566778899aabbccddeef",                // odd digit count
      "gateway-7:00112233445566778899aabbccddeegg",               // not hex
      "gateway-7:00112233445566778899aabbccddeeff\r\n",           // a stray CR
      "gateway-7:0x112233445566778899aabbccddeeff",               // a 0x prefix
      "gateway-7:00112233445566778899aabbccddeeff\nsecond:line",  // two lines
      "gateway-7:00112233445566778899aabbccddeeff\n\n",           // a blank line after
  };
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    platform::PreSharedKey key;
    std::string error;
    EXPECT_FALSE(platform::ReadPskFile(Write(text, 0600), key, error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(key.Empty());
  }
}

}  // namespace
