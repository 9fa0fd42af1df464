// The benchmark's baseline: a bare Qt window of Kestrune's size with one
// combo box holding the same seven rows, and no timer and no sound.
#include <QApplication>
#include <QComboBox>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle("Baseline");
    window.setFixedSize(480, 420);
    auto* popup = new QComboBox(&window);
    for (int s : {4, 9, 14, 19, 24, 29, 59})
        popup->addItem(QString("Every %1 seconds").arg(s));
    popup->setCurrentIndex(0);
    popup->setGeometry(20, 300, 250, 24);
    window.show();
    return app.exec();
}
