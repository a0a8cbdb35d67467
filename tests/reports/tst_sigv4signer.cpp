#include "support/testmain.h"

#include "reports/amazonbackend.h"
#include "reports/sigv4signer.h"

// What the object store cannot show: part sizes past 2 GiB. Whole
// signed requests are checked by the local object store (tst_reportupload).
class TestSigV4Signer : public QObject
{
    Q_OBJECT
private slots:
    void largePartSizesDoNotOverflow()
    {
        AmazonBackend backend;
        backend.setPartMb(4096);
        QCOMPARE(backend.partSize(), qint64(4096) << 20);
    }
};

OSTRA_TEST_MAIN(TestSigV4Signer)
#include "tst_sigv4signer.moc"
