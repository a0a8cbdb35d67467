#include "support/testmain.h"

#include "reports/amazonbackend.h"
#include "reports/sigv4signer.h"

// What the object store cannot show: paths outside the ASCII set, part sizes past 2 GiB. Whole
// signed requests are checked by the local object store (tst_reportupload).
class TestSigV4Signer : public QObject
{
    Q_OBJECT
private slots:
    void pathIsEncodedForTheCanonicalRequest()
    {
        QCOMPARE(SigV4Signer::canonicalPath(QStringLiteral("/a b/Report+(1)!~_-.zip")),
            QByteArray("/a%20b/Report%2B%281%29%21~_-.zip"));
        QCOMPARE(SigV4Signer::canonicalPath(QStringLiteral("/\u00e9")), QByteArray("/%C3%A9"));
    }

    void largePartSizesDoNotOverflow()
    {
        AmazonBackend backend;
        backend.setPartMb(4096);
        QCOMPARE(backend.partSize(), qint64(4096) << 20);
    }
};

OSTRA_TEST_MAIN(TestSigV4Signer)
#include "tst_sigv4signer.moc"
