#include "source/packagehash.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

// The package digest: the SHA-256 itself and how the manifest's digest is compared with it.
class TestPackageHash : public QObject
{
    Q_OBJECT

private slots:
    void knownDigests_data();
    void knownDigests();
    void unreadableFile_data();
    void unreadableFile();
    void verify_data();
    void verify();
    void verifyMissingFile();

private:
    QTemporaryDir dir;
};

namespace {

QString writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return QString();
    return path;
}

// Not a multiple of the block size, so the last block is a short one.
QByteArray multiBlockContent()
{
    QByteArray content(3 * 1024 * 1024 + 12345, Qt::Uninitialized);
    QRandomGenerator generator(20240601);
    for (char &byte : content)
        byte = static_cast<char>(generator.bounded(256));
    return content;
}

constexpr char abcDigest[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

} // namespace

void TestPackageHash::knownDigests_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("digest");

    QTest::newRow("empty file")
        << QByteArray()
        << QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    QTest::newRow("abc") << QByteArray("abc") << QString::fromLatin1(abcDigest);
    QTest::newRow("two-block message")
        << QByteArray("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")
        << QStringLiteral("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    const QByteArray big = multiBlockContent();
    QTest::newRow("several read blocks")
        << big
        << QString::fromLatin1(QCryptographicHash::hash(big, QCryptographicHash::Sha256).toHex());
}

void TestPackageHash::knownDigests()
{
    QFETCH(QByteArray, content);
    const QString path = writeFile(dir.filePath(QStringLiteral("package.zip")), content);
    QVERIFY(!path.isEmpty());

    QString error = QStringLiteral("left over");
    QTEST(Updater::sha256OfFile(path, &error), "digest");
    QVERIFY(error.isEmpty());
    // The error text is optional.
    QTEST(Updater::sha256OfFile(path, nullptr), "digest");
}

void TestPackageHash::unreadableFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("message");

    const QString missing = dir.filePath(QStringLiteral("missing.zip"));
    QTest::newRow("missing") << missing << QStringLiteral("Could not open %1").arg(missing);
    // Opening a directory fails on Windows and on Linux alike, before anything is read.
    QTest::newRow("directory") << dir.path() << QStringLiteral("Could not open %1").arg(dir.path());
}

void TestPackageHash::unreadableFile()
{
    QFETCH(QString, path);
    QString error;
    QCOMPARE(Updater::sha256OfFile(path, &error), QString());
    QTEST(error, "message");
}

void TestPackageHash::verify_data()
{
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("matches");

    const QString digest = QString::fromLatin1(abcDigest);
    QTest::newRow("lower case") << digest << true;
    QTest::newRow("upper case") << digest.toUpper() << true;
    QTest::newRow("mixed case") << digest.left(32).toUpper() + digest.mid(32) << true;
    QTest::newRow("surrounding white space")
        << QStringLiteral(" \t") + digest + QStringLiteral("\n") << true;
    QTest::newRow("algorithm prefix") << QStringLiteral("sha256:") + digest << false;
    QTest::newRow("inner space") << digest.left(32) + QLatin1Char(' ') + digest.mid(32) << false;
    QTest::newRow("one digit short") << digest.left(63) << false;
    QTest::newRow("one digit more") << digest + QLatin1Char('0') << false;
    QTest::newRow("another digest") << QString(64, QLatin1Char('0')) << false;
}

void TestPackageHash::verify()
{
    QFETCH(QString, expected);
    QFETCH(bool, matches);
    const QString path = writeFile(dir.filePath(QStringLiteral("abc.zip")), "abc");
    QVERIFY(!path.isEmpty());

    QString error = QStringLiteral("left over");
    QCOMPARE(Updater::verifyPackageHash(path, expected, &error), matches);
    QCOMPARE(error, matches ? QString() : QStringLiteral("SHA-256 mismatch for %1").arg(path));
}

void TestPackageHash::verifyMissingFile()
{
    const QString path = dir.filePath(QStringLiteral("gone.zip"));
    QString error;
    QVERIFY(!Updater::verifyPackageHash(path, QString::fromLatin1(abcDigest), &error));
    QCOMPARE(error, QStringLiteral("Could not open %1").arg(path));
}

QTEST_GUILESS_MAIN(TestPackageHash)
#include "tst_packagehash.moc"
