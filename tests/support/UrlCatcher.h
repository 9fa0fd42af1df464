// Catches the URLs the program asks the desktop to open, so that no browser
// starts during a test.
#pragma once

#include <QDesktopServices>
#include <QObject>
#include <QUrl>

#include <vector>

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    // Handles the schemes the program could open, until destroyed.
    UrlCatcher() {
        for (const char* scheme : kSchemes) QDesktopServices::setUrlHandler(scheme, this, "open");
    }
    ~UrlCatcher() override {
        for (const char* scheme : kSchemes) QDesktopServices::unsetUrlHandler(scheme);
    }

    std::vector<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened.push_back(url); }

private:
    static constexpr const char* kSchemes[] = {"https", "http", "file"};
};
