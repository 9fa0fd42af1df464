#include "ShowURL.h"

#include <QDesktopServices>
#include <QUrl>

void ShowURL(const String& url) {
    // Strict parsing: a text that is no URL is not passed on as a file path.
    const QUrl target(url, QUrl::StrictMode);
    if (!target.isValid() || target.scheme().isEmpty())
        throw InvalidArgumentException("ShowURL: not a URL: " + url.toStdString());
    QDesktopServices::openUrl(target);
}
