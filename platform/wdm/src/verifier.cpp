// The verifier's report book: always on, never stops the program except for bug checks.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "internal.h"

namespace wdmemu {

namespace {
struct Book {
  std::mutex lock;
  std::vector<Report> reports;
  std::function<void(const Report&)> observer;
};
Book& TheBook() {
  static Book* book = new Book;  // never destroyed: kernel threads may report during exit
  return *book;
}
}  // namespace

const char* CheckName(Check check) {
  switch (check) {
    case Check::IrpCompletedTwice:
      return "IRP completed twice";
    case Check::IrpNeverCompleted:
      return "IRP never completed";
    case Check::IrpLostAfterMoreProcessing:
      return "IRP lost after STATUS_MORE_PROCESSING_REQUIRED";
    case Check::IrpNotFreed:
      return "IRP not freed";
    case Check::IrpCompletedToCreator:
      return "allocated IRP completed past its creator";
    case Check::IrpUseAfterCompletion:
      return "IRP used after completion";
    case Check::IrpCompletedWithPending:
      return "IRP completed with STATUS_PENDING";
    case Check::PendingMismatch:
      return "pending returned without IoMarkIrpPending (or reverse)";
    case Check::CancelRoutineLost:
      return "IRP completed with a cancel routine set";
    case Check::CancelLockHeld:
      return "cancel spin lock held after cancel routine";
    case Check::WaitAtDispatch:
      return "wait at DISPATCH_LEVEL";
    case Check::SpinLockWrongIrql:
      return "spin lock used at the wrong IRQL";
    case Check::SpinLockNotOwner:
      return "spin lock released by non-owner";
    case Check::IrqlTooHigh:
      return "call above its IRQL";
    case Check::IrqlNotRestored:
      return "IRQL not restored";
    case Check::PoolLeak:
      return "pool leaked";
    case Check::PoolBadFree:
      return "bad pool free";
    case Check::DeviceDeletedWhileReferenced:
      return "device deleted while referenced";
    case Check::DeviceDeletedTwice:
      return "device deleted twice";
    case Check::DeviceDeletedWhileAttached:
      return "device deleted while attached";
    case Check::IrpToDeletedDevice:
      return "IRP sent to a deleted device";
    case Check::WorkItemQueuedTwice:
      return "work item queued twice";
    case Check::WorkStillRunning:
      return "DPC or work item still running";
    case Check::HandleLeak:
      return "registry handle leaked";
    case Check::MutexNotOwned:
      return "mutex released by non-owner";
    case Check::PowerRule:
      return "power rule broken";
    case Check::PnpRule:
      return "Plug and Play rule broken";
    case Check::Assertion:
      return "assertion";
    case Check::BugCheck:
      return "bug check";
  }
  return "?";
}

std::string Where(const std::source_location& where) {
  if (where.line() == 0) return {};
  return std::string(where.file_name()) + ":" + std::to_string(where.line()) + " (" +
         where.function_name() + ")";
}

void Verify(Check check, const std::string& message, const std::source_location& where) {
  Report report{check, message, Where(where)};
  std::function<void(const Report&)> observer;
  {
    std::lock_guard<std::mutex> guard(TheBook().lock);
    TheBook().reports.push_back(report);
    observer = TheBook().observer;
  }
  fprintf(stderr, "wdmemu verifier: %s: %s%s%s\n", CheckName(check), message.c_str(),
          report.where.empty() ? "" : " at ", report.where.c_str());
  if (observer) observer(report);
}

void Verify(Check check, const std::string& message) {
  Verify(check, message, std::source_location{});
}

void Fatal(Check check, const std::string& message, const std::source_location& where) {
  fprintf(stderr, "wdmemu bug check: %s: %s at %s\n", CheckName(check), message.c_str(),
          Where(where).c_str());
  fflush(stderr);
  abort();
}

std::vector<Report> TakeReports() {
  std::lock_guard<std::mutex> guard(TheBook().lock);
  std::vector<Report> out;
  out.swap(TheBook().reports);
  return out;
}

void SetReportObserver(std::function<void(const Report&)> observer) {
  std::lock_guard<std::mutex> guard(TheBook().lock);
  TheBook().observer = std::move(observer);
}

void CheckIrql(KIRQL maximum, const char* call, const std::source_location& where) {
  KIRQL irql = Self().irql;
  if (irql > maximum) {
    Verify(Check::IrqlTooHigh,
           std::string(call) + " called at IRQL " + std::to_string(irql) + " (allowed up to " +
               std::to_string(maximum) + ")",
           where);
  }
}

}  // namespace wdmemu

using namespace wdmemu;

VOID wdmemu_PagedCode(std::source_location loc) { CheckIrql(APC_LEVEL, "paged code", loc); }

VOID wdmemu_AssertFailed(const char* expression, std::source_location loc) {
  Verify(Check::Assertion, std::string("ASSERT(") + expression + ") failed", loc);
}

VOID DbgBreakPoint(std::source_location loc) {
  Verify(Check::Assertion, "DbgBreakPoint reached", loc);
}

VOID KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                  std::source_location loc) {
  char text[128];
  snprintf(text, sizeof text, "KeBugCheckEx(0x%x, %#lx, %#lx, %#lx, %#lx)", code, (unsigned long)p1,
           (unsigned long)p2, (unsigned long)p3, (unsigned long)p4);
  Fatal(Check::BugCheck, text, loc);
}

VOID KeBugCheck(ULONG code, std::source_location loc) { KeBugCheckEx(code, 0, 0, 0, 0, loc); }
