#include "service/run_end_listener.h"

#include "journal/journal.h"

#include <QThread>
#include <QTimer>

namespace service {

namespace {
constexpr int checkEveryMs = 10'000;
}

RunEndListener::RunEndListener(QString journalPath, std::function<void(std::int64_t run)> ended)
    : path_(std::move(journalPath)), ended_(std::move(ended)), thread_(new QThread), context_(new QObject)
{
    thread_->setObjectName(QStringLiteral("run ends"));
    context_->moveToThread(thread_);
    thread_->start();
    QMetaObject::invokeMethod(context_, [this] {
        listen();
        auto* check = new QTimer(context_);
        QObject::connect(check, &QTimer::timeout, context_, [this] {
            if (!journal_ || !journal_->answers())
                listen();
        });
        check->start(checkEveryMs);
    });
}

RunEndListener::~RunEndListener()
{
    QMetaObject::invokeMethod(
        context_,
        [this] {
            qDeleteAll(context_->findChildren<QTimer*>());
            journal_.reset();
        },
        Qt::BlockingQueuedConnection);
    thread_->quit();
    thread_->wait();
    delete context_;
    delete thread_;
}

void RunEndListener::listen()
{
    try {
        journal_.reset();
        journal_ = std::make_unique<Journal>(path_);
        journal_->listenForEnds(ended_);
    } catch (const std::exception&) {
        journal_.reset();  // tried again at the next check
    }
}

}  // namespace service
