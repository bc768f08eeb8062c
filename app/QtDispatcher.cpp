#include "app/QtDispatcher.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QThread>
#include <condition_variable>
#include <exception>
#include <mutex>

namespace tlm {

TQtDispatcher::TQtDispatcher() : FUiThread(std::this_thread::get_id()) {}

bool TQtDispatcher::IsUiThread() const { return std::this_thread::get_id() == FUiThread; }

void TQtDispatcher::Post(std::function<void()> AProc) {
  if (IsUiThread()) {
    AProc();
    return;
  }
  QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(AProc), Qt::QueuedConnection);
}

void TQtDispatcher::Sync(std::function<void()> AProc) {
  if (IsUiThread()) {
    AProc();
    return;
  }
  // Not BlockingQueuedConnection: the waiter must also be released when the call runs inside
  // WaitPumping or a modal dialog's loop, and an exception must come back to the caller.
  struct TWaiter {
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;
    std::exception_ptr Error;
  };
  auto waiter = std::make_shared<TWaiter>();
  Post([waiter, LProc = std::move(AProc)] {
    try {
      LProc();
    } catch (...) {
      waiter->Error = std::current_exception();
    }
    std::lock_guard<std::mutex> hold(waiter->Lock);
    waiter->Finished = true;
    waiter->Done.notify_all();
  });
  std::unique_lock<std::mutex> hold(waiter->Lock);
  waiter->Done.wait(hold, [&] { return waiter->Finished; });
  if (waiter->Error) std::rethrow_exception(waiter->Error);
}

void TQtDispatcher::WaitPumping(const std::function<bool()>& ADone) {
  while (!ADone()) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (!ADone()) QThread::msleep(2);
  }
}

}  // namespace tlm
