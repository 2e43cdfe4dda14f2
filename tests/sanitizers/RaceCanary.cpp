// Built with ThreadSanitizer only: a run-like thread and the GUI thread write one counter with
// nothing between them, after the GUI thread has painted (so Qt's painting pool is at work).
// The test passes only when TSan reports the race in this file: suppressions that grow broad
// enough to hide our own code fail it.
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QThread>

namespace {

int unguarded = 0;

class Run final : public QThread {
protected:
    void run() override {
        for (int i = 0; i < 1000; ++i)
            ++unguarded;
    }
};

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    QImage image(300, 300, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.drawEllipse(10, 10, 280, 280);
    painter.end();

    Run run;
    run.start();
    for (int i = 0; i < 1000; ++i)
        ++unguarded;
    while (!run.wait(QDeadlineTimer(0))) {
    }
    return unguarded > 0 ? 0 : 1;
}
