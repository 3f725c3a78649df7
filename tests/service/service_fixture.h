#pragma once
// travcard serve, the real program without a display, started as the
// service manager starts it, with a travcard.cfg, a tokens file and a
// journal of the test's own, listening on a free port of 127.0.0.1; and
// called over HTTP as an ERP calls it. The process is killed when the test
// ends, also when it fails. Test fixtures derive from it beside their
// ::testing::Test base; the program needs TRAVCARD_PROGRAM.

#include "journal/journal.h"
#include "tests/fixtures/data_source.h"
#include "tests/fixtures/travcard_program.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QSslError>
#include <QTimer>
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <regex>
#include <string>

#include <sys/prctl.h>
#include <sys/stat.h>

class ServiceProcess {
public:
    static constexpr const char* token = "0123456789abcdef-erp";

    struct Response {
        int status = 0;
        QJsonObject json;
        QByteArray retryAfter;
    };

    ~ServiceProcess()
    {
        if (service.state() != QProcess::NotRunning) {
            service.kill();
            service.waitForFinished(10'000);
        }
    }

    // Starts the service with PRINTER= printer and the extra lines of travcard.cfg.
    void startService(const std::string& printer, const std::string& type, const std::string& extra = {})
    {
        folder = std::make_unique<ScratchDir>();
        folder->write("tokens", std::string("# who may call\nerp ") + token + "\n");
        ::chmod(folder->file("tokens").c_str(), 0600);  // the service refuses a tokens file others can read
        installProgram(*folder, "PRINTER=" + printer + "\nPRTTYPE=" + type + "\nSERVICE_TOKENS=" +
                                    folder->file("tokens") + "\nSERVICE_LISTEN=127.0.0.1:0\n" + extra);
        // It ends with the test program, also with one that crashes.
        service.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        startWithoutDisplay(service, folder->file("travcard"),
                            {"serve", "--journal", QString::fromStdString(folder->file("journal.sqlite"))},
                            folder->path());
        const std::regex listening("listening on port (\\d+)");
        std::smatch found;
        for (int waited = 0; waited < 100 && port == 0; ++waited) {
            service.waitForReadyRead(100);
            log += service.readAllStandardError().toStdString();
            if (std::regex_search(log, found, listening))
                port = static_cast<quint16>(std::stoi(found[1]));
        }
        ASSERT_NE(port, 0) << log;
    }

    QNetworkRequest request(const QString& path, const QByteArray& bearer = token) const
    {
        QNetworkRequest request(QUrl(QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme).arg(port).arg(path)));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        if (!bearer.isEmpty())
            request.setRawHeader("Authorization", "Bearer " + bearer);
        return request;
    }

    static Response responseOf(QNetworkReply& reply)
    {
        return {reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                QJsonDocument::fromJson(reply.readAll()).object(), reply.rawHeader("Retry-After")};
    }

    Response call(const QByteArray& method, const QString& path, const QByteArray& body = {},
                  const QByteArray& bearer = token)
    {
        QNetworkReply* reply = network.sendCustomRequest(request(path, bearer), method, body);
        // The test's own certificate is signed by nobody.
        QObject::connect(reply, &QNetworkReply::sslErrors, reply, [reply] { reply->ignoreSslErrors(); });
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(90'000, &loop, &QEventLoop::quit);
        loop.exec();
        const Response response = responseOf(*reply);
        reply->deleteLater();
        return response;
    }

    Response post(const QString& path, const QJsonObject& body)
    {
        return call("POST", path, QJsonDocument(body).toJson(QJsonDocument::Compact));
    }

    // The run once it has ended (the service holds the answer until then).
    QJsonObject ended(qint64 run)
    {
        for (int polls = 0; polls < 10; ++polls) {
            const Response seen = call("GET", QStringLiteral("/v1/runs/%1?wait=30").arg(run));
            if (seen.status != 200 || !seen.json["ended"].isNull())
                return seen.json;
        }
        return {};
    }

    Journal serviceJournal() const { return Journal(QString::fromStdString(folder->file("journal.sqlite"))); }

    // Stops the service as the service manager does, and waits for it to end.
    int terminate()
    {
        service.terminate();
        EXPECT_TRUE(service.waitForFinished(60'000));
        log += service.readAllStandardError().toStdString();
        return service.exitCode();
    }

    static QJsonObject order(const char* requestId, int quantity = 1, const char* printer = nullptr)
    {
        QJsonObject body{{"location", "ST"}, {"order", "12345"}, {"quantity", quantity}, {"request_id", requestId}};
        if (printer)
            body.insert("printer", printer);
        return body;
    }

    std::unique_ptr<ScratchDir> folder;
    QProcess service;
    quint16 port = 0;
    QString scheme = "http";
    std::string log;
    QNetworkAccessManager network;
};
