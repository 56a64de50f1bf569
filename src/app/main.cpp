#include "service/Streamer.h"

#include <QCoreApplication>
#include <QMetaType>

// indiproperty.h declares the meta-type itself when built with Qt.
#include <indiproperty.h>

namespace {
// INDI properties cross from the INDI receiving thread to the main thread as
// queued arguments, so the type is known to Qt before anything runs.
[[maybe_unused]] const int kIndiPropertyMetaType = qRegisterMetaType<INDI::Property>("INDI::Property");
}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

    Streamer streamer;
    QObject::connect(&streamer, &Streamer::finished, &app, &QCoreApplication::quit);

    return app.exec();
}
