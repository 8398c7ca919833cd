#include "Brivane/cloud/CloudAccountKeyring.h"

#include <qcoro/qcorosignal.h>
#include <qt6keychain/keychain.h>

#include <memory>

namespace brivane {

namespace {

struct JobDeleter {
    void operator()(QKeychain::Job* job) const { job->deleteLater(); }
};
template <typename JobType>
using JobPointer = std::unique_ptr<JobType, JobDeleter>;

// Starts the job and waits for it. A job may finish inside start() (no backend at all), so the
// outcome is caught before the wait begins.
QCoro::Task<> run(QKeychain::Job* job) {
    auto done = std::make_shared<bool>(false);
    QObject::connect(job, &QKeychain::Job::finished, job, [done] { *done = true; });
    job->start();
    if (!*done)
        co_await qCoro(job, &QKeychain::Job::finished);
}

} // namespace

QCoro::Task<CloudAccountKeyring::ReadResult> CloudAccountKeyring::read() const {
    const JobPointer<QKeychain::ReadPasswordJob> job(new QKeychain::ReadPasswordJob(service_));
    job->setAutoDelete(false);
    job->setInsecureFallback(false);
    job->setKey(QString::fromLatin1(itemKey));
    co_await run(job.get());
    ReadResult result;
    switch (job->error()) {
    case QKeychain::NoError:
        result.kind = ReadResult::Kind::found;
        result.data = job->textData().toStdString();
        break;
    case QKeychain::EntryNotFound:
        result.kind = ReadResult::Kind::missing;
        break;
    default:
        result.kind = ReadResult::Kind::unavailable;
        result.status = static_cast<std::int32_t>(job->error());
        result.message = job->errorString().toStdString();
        break;
    }
    co_return result;
}

QCoro::Task<CloudAccountKeyring::WriteResult> CloudAccountKeyring::write(std::string data) const {
    const JobPointer<QKeychain::WritePasswordJob> job(new QKeychain::WritePasswordJob(service_));
    job->setAutoDelete(false);
    job->setInsecureFallback(false);
    job->setKey(QString::fromLatin1(itemKey));
    job->setTextData(QString::fromStdString(data));
    co_await run(job.get());
    WriteResult result;
    result.ok = job->error() == QKeychain::NoError;
    if (!result.ok) {
        result.status = static_cast<std::int32_t>(job->error());
        result.message = job->errorString().toStdString();
    }
    co_return result;
}

} // namespace brivane
