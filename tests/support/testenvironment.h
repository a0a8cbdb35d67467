#pragma once

#include <QString>

namespace ostra::test {

// Points HOME, the XDG folders and XDG_RUNTIME_DIR at a fresh temporary tree for
// the lifetime of the object, and removes the tree afterwards (unless
// OSTRA_KEEP_TEST_HOME is set). Create it before the application object.
class TestEnvironment
{
public:
    TestEnvironment();
    ~TestEnvironment();
    TestEnvironment(const TestEnvironment&) = delete;
    TestEnvironment& operator=(const TestEnvironment&) = delete;

    // The temporary root that holds home/, config/, data/, cache/ and runtime/.
    QString root() const { return m_root; }

private:
    QString m_root;
};

// The source and build trees, as ctest passes them.
QString sourceDir();
QString binaryDir();

} // namespace ostra::test
