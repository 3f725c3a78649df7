// GET /: the status page. One document: its style and script are built into
// the program and set inline, and the Content-Security-Policy names their
// hashes, so that the browser runs that script and no other, and the page
// loads in one request. The page holds nothing until it is given a token,
// which it keeps for the tab and sends as the API asks; no cookie, so no
// other site's page can act through it.

#include "service/print_service.h"

#include <QCryptographicHash>
#include <QFile>

namespace service {
namespace {

struct StatusPage {
    QByteArray html;
    HttpHeaders headers;
};

QByteArray resource(const char* name)
{
    QFile file(QStringLiteral(":/travcard/page/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray cspHash(const QByteArray& text)
{
    return "'sha256-" + QCryptographicHash::hash(text, QCryptographicHash::Sha256).toBase64() + "'";
}

// Nothing when a part is missing from the build.
std::optional<StatusPage> buildPage()
{
    const QByteArray html = resource("index.html"), style = resource("app.css"), script = resource("app.js");
    if (html.isEmpty() || style.isEmpty() || script.isEmpty() || !html.contains("@STYLE@") ||
        !html.contains("@SCRIPT@") || script.contains("</script") || style.contains("</style"))
        return std::nullopt;
    QByteArray page = html;
    page.replace("@STYLE@", style).replace("@SCRIPT@", script);
    const QByteArray policy = "default-src 'none'; script-src " + cspHash(script) + "; style-src " +
                              cspHash(style) +
                              "; connect-src 'self'; img-src data:; frame-ancestors 'none'; base-uri 'none'; "
                              "form-action 'none'; require-trusted-types-for 'script'; trusted-types 'none'";
    return StatusPage{page,
                      {{"Content-Security-Policy", policy},
                       {"X-Content-Type-Options", "nosniff"},
                       {"X-Frame-Options", "DENY"},
                       {"Referrer-Policy", "no-referrer"},
                       {"Cross-Origin-Opener-Policy", "same-origin"},
                       {"Cache-Control", "no-store"}}};
}

}  // namespace

void PrintService::page(const Reply& exchange)
{
    static const std::optional<StatusPage> built = buildPage();
    if (!built)
        return exchange->refuse({500, "internal", "The status page is missing from this build."});
    exchange->sendBytes(200, "text/html; charset=utf-8", built->html, built->headers);
}

}  // namespace service
