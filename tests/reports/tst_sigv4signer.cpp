#include "support/testmain.h"

#include "reports/amazonbackend.h"
#include "reports/sigv4signer.h"

// The signer's primitives against published vectors; whole signed requests are checked
// by the local object store (tst_reportupload).
class TestSigV4Signer : public QObject
{
    Q_OBJECT
private slots:
    void hmacMatchesRfc4231_data()
    {
        QTest::addColumn<int>("algorithm");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray large("Test Using Larger Than Block-Size Key - Hash Key First");
        QTest::newRow("1 sha256") << int(QCryptographicHash::Sha256) << QByteArray(20, '\x0b')
                                  << QByteArray("Hi There")
                                  << QByteArray(
                                         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
        QTest::newRow("1 sha512") << int(QCryptographicHash::Sha512) << QByteArray(20, '\x0b')
                                  << QByteArray("Hi There")
                                  << QByteArray(
                                         "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cde"
                                         "daa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e696c203a126854");
        QTest::newRow("6 sha256") << int(QCryptographicHash::Sha256) << QByteArray(131, '\xaa') << large
                                  << QByteArray(
                                         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
    }
    void hmacMatchesRfc4231()
    {
        QFETCH(int, algorithm);
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, expected);
        QCOMPARE(SigV4Signer::hmacOf(key, data, QCryptographicHash::Algorithm(algorithm)).toHex(), expected);
    }

    void signingKeyMatchesPublishedDerivation()
    {
        const QByteArray key = SigV4Signer::signingKey(
            "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY", "20120215", "us-east-1", "iam");
        QCOMPARE(key.toHex(), QByteArray("f4780e2d9f65fa895f9c67b32ce1baf0b0d8a43505a000a1a9e090d414db404d"));
    }

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
