#include "kernel_test.h"

#include <algorithm>

namespace wdmemu::testing {

void KernelTest::SetUp() {
  TakeReports();
  SetReportObserver([this](const Report& report) { Observe(report); });
}

void KernelTest::Observe(const Report& report) {
  bool expected;
  {
    std::lock_guard<std::mutex> guard(lock_);
    seen_.push_back(report);
    expected = std::find(expected_.begin(), expected_.end(), report.check) != expected_.end();
  }
  if (!expected) {
    ADD_FAILURE() << "kernel verifier: " << CheckName(report.check) << ": " << report.message
                  << (report.where.empty() ? "" : "\n  at ") << report.where;
  }
}

void KernelTest::TearDown() {
  ResetWorld();
  SetReportObserver(nullptr);
  TakeReports();
  std::lock_guard<std::mutex> guard(lock_);
  for (Check check : expected_) {
    bool seen =
        std::any_of(seen_.begin(), seen_.end(), [&](const Report& r) { return r.check == check; });
    if (!seen) ADD_FAILURE() << "expected a verifier report: " << CheckName(check);
  }
}

void KernelTest::ExpectReport(Check check) {
  std::lock_guard<std::mutex> guard(lock_);
  expected_.push_back(check);
}

std::vector<Report> KernelTest::Reports() {
  std::lock_guard<std::mutex> guard(lock_);
  return seen_;
}

bool KernelTest::Reported(Check check) {
  std::lock_guard<std::mutex> guard(lock_);
  return std::any_of(seen_.begin(), seen_.end(), [&](const Report& r) { return r.check == check; });
}

}  // namespace wdmemu::testing
