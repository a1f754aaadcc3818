#include "QtMainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace sentorix {

void QtMainQueue::async(std::function<void()> block) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(block), Qt::QueuedConnection);
}

}  // namespace sentorix
