#include "support/testenvironment.h"

#include <QByteArray>
#include <QDir>

#include <cstdlib>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace ostra::test {

namespace {
const char* const kFolders[][2] = {
    { "HOME", "home" },
    { "XDG_CONFIG_HOME", "config" },
    { "XDG_DATA_HOME", "data" },
    { "XDG_CACHE_HOME", "cache" },
    { "XDG_RUNTIME_DIR", "runtime" },
};
}

TestEnvironment::TestEnvironment()
{
    QByteArray base = qgetenv("TMPDIR");
    if (base.isEmpty())
        base = "/tmp";
    QByteArray pattern = base + "/ostra-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a test home");
    m_root = QString::fromLocal8Bit(pattern);
    for (const auto& folder : kFolders) {
        const QString path = m_root + QLatin1Char('/') + QLatin1String(folder[1]);
        QDir().mkpath(path);
        ::chmod(QFile::encodeName(path).constData(), 0700);
        qputenv(folder[0], QFile::encodeName(path));
    }
    qunsetenv("XDG_CONFIG_DIRS");
    qunsetenv("XDG_DATA_DIRS");
    // The window checks the update feed once a day at start: in tests it asks a closed port on
    // this machine, never the real channel, unless a test names a feed of its own.
    if (!qEnvironmentVariableIsSet("QA_09F5B6C8_QUELT_UPDATE"))
        qputenv("QA_09F5B6C8_QUELT_UPDATE", "https://127.0.0.1:9/ostra/feed.xml");
}

TestEnvironment::~TestEnvironment()
{
    if (qEnvironmentVariableIsSet("OSTRA_KEEP_TEST_HOME"))
        return;
    QDir(m_root).removeRecursively();
}

QString sourceDir()
{
    return qEnvironmentVariable("OSTRA_SOURCE_DIR", QStringLiteral(OSTRA_SOURCE_DIR_FALLBACK));
}

QString binaryDir()
{
    return qEnvironmentVariable("OSTRA_BINARY_DIR", QStringLiteral(OSTRA_BINARY_DIR_FALLBACK));
}

} // namespace ostra::test
