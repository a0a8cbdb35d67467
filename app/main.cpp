#include <QApplication>
#include <QQmlApplicationEngine>

#include "ciapi/ciapi.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    int result = 0;
    {
        QQmlApplicationEngine engine;
        engine.load(QUrl(QStringLiteral("qrc:/AppLayers/WindowMain.qml")));
        if (engine.rootObjects().isEmpty())
            return 1;
        result = app.exec();
    }
    CIAPI::StaticShutdown();
    return result;
}
