// The idle baseline for bench/idle_wakeups.sh: a Qt Widgets program that
// opens the display and does nothing else.
#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    return app.exec();
}
