#include "support/testmain.h"

#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <linux/msdos_fs.h>

#include "platform/hiddenattribute.h"

namespace {

// Plays a vfat volume's attribute calls.
class FakeFat : public IFatAttributes
{
public:
    bool fat = true;
    uint32_t attributes = ATTR_ARCH | ATTR_RO;
    int setCalls = 0;
    int failSetWith = 0;
    bool isFat(int) override { return fat; }
    bool getAttributes(int, uint32_t* out) override
    {
        *out = attributes;
        return true;
    }
    bool setAttributes(int, uint32_t value) override
    {
        ++setCalls;
        if (failSetWith) {
            errno = failSetWith;
            return false;
        }
        attributes = value;
        return true;
    }
};

} // namespace

class TestHiddenAttribute : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;

private slots:
    void fatKeepsTheOtherAttributes()
    {
        FakeFat fat;
        QVERIFY(setHiddenAttribute(m_dir.path(), fat));
        QCOMPARE(fat.attributes, uint32_t(ATTR_ARCH | ATTR_RO | ATTR_HIDDEN));
        // Already hidden: nothing is written again.
        QVERIFY(setHiddenAttribute(m_dir.path(), fat));
        QCOMPARE(fat.setCalls, 1);

        // A refusal is reported with its reason.
        fat.attributes = ATTR_ARCH;
        fat.failSetWith = EROFS;
        QVERIFY(!setHiddenAttribute(m_dir.path(), fat));
        QCOMPARE(errno, EROFS);
    }
};

OSTRA_TEST_MAIN_CORE(TestHiddenAttribute)
#include "tst_hiddenattribute.moc"
