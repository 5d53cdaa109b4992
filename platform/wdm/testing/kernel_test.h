// A GoogleTest fixture for code that runs on the kernel model.
//
// Every verifier report fails the test that caused it (with the driver line it names), unless
// the test declared it with ExpectReport. TearDown resets the world, so the end-of-test checks
// (IRPs never completed, pool and handles left over, deleted devices still referenced) also
// fail the test that left them.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "wdmemu/world.h"

namespace wdmemu::testing {

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Declares that this test deliberately breaks a rule: at least one report of `check` must
  // arrive before the test ends, and those reports do not fail it.
  void ExpectReport(Check check);
  // Reports seen so far (expected or not).
  std::vector<Report> Reports();
  bool Reported(Check check);

 private:
  void Observe(const Report& report);
  std::mutex lock_;
  std::vector<Check> expected_;
  std::vector<Report> seen_;
};

// A kernel test with one PDO and the path of its driver key, for code that reads the registry.
class DriverKeyTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    pdo = CreatePdo({});
    key = DriverKeyPath(pdo);
  }
  PDEVICE_OBJECT pdo = nullptr;
  std::u16string key;
};

}  // namespace wdmemu::testing
