// A fresh world per test, and helpers to read the service log.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brisa::testing {

class WorldTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string root_;
};

// The raw bytes of a file of the world.
std::string ReadWorldFile(const std::wstring& windowsPath);
// The lines of a UTF-16LE log (after the byte-order mark, split at "\r\n").
std::vector<std::wstring> LogLines(const std::string& bytes);
// The text of a log line after its "MM/DD/YYYY hh:mm:ss.mmm [ttttt] " prefix.
std::wstring LineText(const std::wstring& line);

}  // namespace brisa::testing
