#include "QtMainQueue.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

namespace sentorix {

namespace {
const QEvent::Type WakeUp = static_cast<QEvent::Type>(QEvent::registerEventType());
}  // namespace

class QtMainQueue::Receiver : public QObject {
public:
    explicit Receiver(QtMainQueue& queue) : queue_(queue) {}

    bool event(QEvent* event) override {
        if (event->type() != WakeUp) {
            return QObject::event(event);
        }
        queue_.drain();
        return true;
    }

private:
    QtMainQueue& queue_;
};

QtMainQueue::QtMainQueue() : receiver_(std::make_unique<Receiver>(*this)) {}

QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::async(std::function<void()> block) {
    {
        std::lock_guard lock(mutex_);
        blocks_.push_back(std::move(block));
        if (wakeUpPosted_) {
            return;
        }
        wakeUpPosted_ = true;
    }
    QCoreApplication::postEvent(receiver_.get(), new QEvent(WakeUp));
}

void QtMainQueue::drain() {
    std::deque<std::function<void()>> ready;
    {
        std::lock_guard lock(mutex_);
        ready.swap(blocks_);
        wakeUpPosted_ = false;
    }
    for (auto& block : ready) {
        block();
    }
}

}  // namespace sentorix
