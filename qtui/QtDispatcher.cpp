#include "qtui/QtDispatcher.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QThread>

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

// Not BlockingQueuedConnection: the waiter must also be released when the call runs inside
// WaitPumping or a modal dialog's loop, and an exception must come back to the caller.
void TQtDispatcher::Sync(std::function<void()> AProc) { SyncByPosting(*this, std::move(AProc)); }

void TQtDispatcher::WaitPumping(const std::function<bool()>& ADone) {
  while (!ADone()) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (!ADone()) QThread::msleep(2);
  }
}

}  // namespace tlm
