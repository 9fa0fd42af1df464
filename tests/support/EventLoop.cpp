#include "EventLoop.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

bool RunUntil(const std::function<bool()>& pred, int boundMs) {
    QElapsedTimer clock;
    clock.start();
    while (!pred()) {
        if (clock.elapsed() > boundMs) return false;
        QEventLoop loop;
        QTimer::singleShot(2, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void RunFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
