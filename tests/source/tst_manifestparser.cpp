#include "source/manifestparser.h"

#include <QtTest>

using Updater::UpdateManifest;

class TestUpdateManifest : public QObject
{
    Q_OBJECT

private slots:
    void defaults();
    void accepted_data();
    void accepted();
    void rejected_data();
    void rejected();
    void nullOutput();
};

namespace {

QByteArray withRequired(const QByteArray &extra)
{
    QByteArray body = R"({"version":"3.1.0","package_url":"https://u/p.zip","package_hash":"ab")";
    if (!extra.isEmpty())
        body += ',' + extra;
    return body + '}';
}

// A manifest with a delta object of the given files and patches (JSON texts, comma-separated), its
// zpack 100 bytes.
QByteArray withDelta(const QByteArray &files, const QByteArray &patches = {})
{
    return withRequired(R"("delta":{"zpack_url":"https://u/p.zpack","zpack_size":100,)"
                        R"("directories":["d"],"files":[)"
                        + files + R"(],"patches":[)" + patches + "]}");
}

QByteArray deltaFile(const QByteArray &path, int offset = 0, char content = 'a')
{
    return R"({"path":")" + path + R"(","size":5,"sha256":")" + QByteArray(64, content)
           + R"(","mode":420,"frame":{"offset":)" + QByteArray::number(offset)
           + R"(,"length":10,"sha256":")" + QByteArray(64, 'F') + R"("}})";
}

UpdateManifest earlierManifest()
{
    UpdateManifest manifest;
    manifest.version = QStringLiteral("1.0.0");
    manifest.channel = QStringLiteral("migration");
    manifest.packageUrl = QStringLiteral("https://old/p.zip");
    manifest.packageHash = QStringLiteral("00");
    manifest.packageFormat = QStringLiteral("tar");
    manifest.mandatory = true;
    return manifest;
}

bool sameManifest(const UpdateManifest &a, const UpdateManifest &b)
{
    return a.version == b.version && a.channel == b.channel
           && a.minimumSupportedVersion == b.minimumSupportedVersion && a.packageUrl == b.packageUrl
           && a.packageHash == b.packageHash && a.updaterUrl == b.updaterUrl
           && a.updaterHash == b.updaterHash && a.releaseNotes == b.releaseNotes
           && a.packageFormat == b.packageFormat && a.mandatory == b.mandatory;
}

} // namespace

void TestUpdateManifest::defaults()
{
    const UpdateManifest manifest;
    QVERIFY(manifest.version.isEmpty() && manifest.channel.isEmpty()
            && manifest.packageUrl.isEmpty());
    QCOMPARE(manifest.packageFormat, QStringLiteral("zip"));
    QCOMPARE(manifest.mandatory, false);
}

void TestUpdateManifest::accepted_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("version trimmed")
        << QByteArray(R"({"version":"  1.4.0\n","package_url":"u","package_hash":"h"})")
        << "version" << QVariant(QStringLiteral("1.4.0"));
    QTest::newRow("urls trimmed") << QByteArray(
        R"({"version":"1","package_url":" \thttps://x/p.zip ","package_hash":" AB "})")
                                  << "packageUrl" << QVariant(QStringLiteral("https://x/p.zip"));
    QTest::newRow("hash trimmed") << QByteArray(
        R"({"version":"1","package_url":"u","package_hash":" AB\n"})")
                                  << "packageHash" << QVariant(QStringLiteral("AB"));
    QTest::newRow("channel migration") << withRequired(R"("channel":"  Migration ")") << "channel"
                                       << QVariant(QStringLiteral("migration"));
    QTest::newRow("channel beta") << withRequired(R"("channel":"beta")") << "channel"
                                  << QVariant(QStringLiteral("stable"));
    QTest::newRow("channel empty")
        << withRequired(R"("channel":"")") << "channel" << QVariant(QStringLiteral("stable"));
    QTest::newRow("channel missing")
        << withRequired({}) << "channel" << QVariant(QStringLiteral("stable"));
    QTest::newRow("channel number")
        << withRequired(R"("channel":5)") << "channel" << QVariant(QStringLiteral("stable"));
    QTest::newRow("format upper case kept") << withRequired(R"("package_format":" ZIP ")")
                                            << "packageFormat" << QVariant(QStringLiteral("ZIP"));
    QTest::newRow("format blank") << withRequired(R"("package_format":"  ")") << "packageFormat"
                                  << QVariant(QStringLiteral("zip"));
    QTest::newRow("format missing")
        << withRequired({}) << "packageFormat" << QVariant(QStringLiteral("zip"));
    QTest::newRow("format null") << withRequired(R"("package_format":null)") << "packageFormat"
                                 << QVariant(QStringLiteral("zip"));
    QTest::newRow("format other kept") << withRequired(R"("package_format":"tar.gz")")
                                       << "packageFormat" << QVariant(QStringLiteral("tar.gz"));
    QTest::newRow("mandatory true")
        << withRequired(R"("mandatory":true)") << "mandatory" << QVariant(true);
    QTest::newRow("mandatory string")
        << withRequired(R"("mandatory":"true")") << "mandatory" << QVariant(false);
    QTest::newRow("mandatory number")
        << withRequired(R"("mandatory":1)") << "mandatory" << QVariant(false);
    QTest::newRow("release notes unchanged")
        << withRequired(R"("release_notes":"  first\nsecond  ")") << "releaseNotes"
        << QVariant(QStringLiteral("  first\nsecond  "));
    QTest::newRow("minimum version trimmed")
        << withRequired(R"("minimum_supported_version":" 2.0 ")") << "minimumSupportedVersion"
        << QVariant(QStringLiteral("2.0"));
    QTest::newRow("updater url trimmed")
        << withRequired(R"("updater_url":" https://x/u.exe ")") << "updaterUrl"
        << QVariant(QStringLiteral("https://x/u.exe"));
    QTest::newRow("updater hash trimmed") << withRequired(R"("updater_hash":" ff ")")
                                          << "updaterHash" << QVariant(QStringLiteral("ff"));
    const QDateTime expiry(QDate(2027, 1, 31), QTime(0, 0), Qt::UTC);
    QTest::newRow("expires with an offset and fractions")
        << withRequired(R"("expires":" 2027-01-31t02:00:00.250+02:00 ")") << "expires"
        << QVariant(expiry.addMSecs(250));
    QTest::newRow("package size") << withRequired(R"("package_size":5000000000)") << "packageSize"
                                  << QVariant(qint64(5000000000));
    const QByteArray patch = R"({"from_version":"1","url":"https://u/p1","size":10,"sha256":")"
                             + QByteArray(64, 'b') + R"(","entries":[{"path":"a","base_sha256":")"
                             + QByteArray(64, 'c') + R"(","base_size":4,"sha256":")"
                             + QByteArray(64, 'e') + R"(","frame":{"offset":0,"length":10,)"
                             + R"("sha256":")" + QByteArray(64, 'd') + R"("}}]})";
    QTest::newRow("delta read") << withDelta(deltaFile("a") + ',' + deltaFile("d/b", 90, 'e'),
                                             patch)
                                << "deltaFiles" << QVariant(2);
    for (const auto &[files, refusal] :
         {std::pair{deltaFile("../evil"), "the path ../evil is not allowed"},
          std::pair{deltaFile("c:x"), "the path c:x is not allowed"},
          std::pair{deltaFile("A") + ',' + deltaFile("a"), "the path a is given twice"},
          std::pair{deltaFile("d"), "the path d is given twice"},
          std::pair{deltaFile("a") + ',' + deltaFile("a/b"), "the path a/b lies inside a file"},
          std::pair{deltaFile("a", 91), "the frame of a lies outside its file"},
          std::pair{deltaFile("a", 0, 'x'), "sha256 is not a SHA-256"},
          std::pair{deltaFile("a") + ",7", "a file is not an object"}})
        QTest::addRow("delta refused: %s", refusal)
            << withDelta(files) << "deltaRefusal" << QVariant(QString::fromLatin1(refusal));
    QTest::newRow("delta refused: a patch making no listed file")
        << withDelta(deltaFile("a"), patch) << "deltaRefusal"
        << QVariant(QStringLiteral("the patch for a makes no file of the list"));
    QTest::newRow("unknown keys ignored")
        << withRequired(R"("extra":{"a":1})") << "version" << QVariant(QStringLiteral("3.1.0"));
}

void TestUpdateManifest::accepted()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, field);
    QFETCH(QVariant, expected);

    UpdateManifest manifest = earlierManifest();
    QString error = QStringLiteral("stale");
    QVERIFY2(Updater::parseUpdateManifest(body, &manifest, &error), qPrintable(error));
    QVERIFY(error.isEmpty());

    const QHash<QString, QVariant> fields{
        {QStringLiteral("version"), manifest.version},
        {QStringLiteral("channel"), manifest.channel},
        {QStringLiteral("minimumSupportedVersion"), manifest.minimumSupportedVersion},
        {QStringLiteral("packageUrl"), manifest.packageUrl},
        {QStringLiteral("packageHash"), manifest.packageHash},
        {QStringLiteral("updaterUrl"), manifest.updaterUrl},
        {QStringLiteral("updaterHash"), manifest.updaterHash},
        {QStringLiteral("releaseNotes"), manifest.releaseNotes},
        {QStringLiteral("packageFormat"), manifest.packageFormat},
        {QStringLiteral("mandatory"), manifest.mandatory},
        {QStringLiteral("expires"), manifest.expires},
        {QStringLiteral("packageSize"), manifest.packageSize},
        {QStringLiteral("deltaFiles"), int(manifest.delta.files.size())},
        {QStringLiteral("deltaRefusal"), manifest.deltaRefusal},
    };
    QVERIFY(fields.contains(field));
    QCOMPARE(fields.value(field), expected);
}

void TestUpdateManifest::rejected_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");

    const QString notObject = QStringLiteral("Update manifest is not a JSON object.");
    QTest::newRow("empty body") << QByteArray() << notObject;
    QTest::newRow("array") << QByteArray(R"([{"version":"1"}])") << notObject;
    QTest::newRow("scalar") << QByteArray("42") << notObject;
    QTest::newRow("malformed") << QByteArray(R"({"version":)") << notObject;
    QTest::newRow("trailing characters") << (withRequired({}) + "x") << notObject;
    QTest::newRow("version and url missing")
        << QByteArray(R"({"package_hash":"h"})")
        << QStringLiteral("Update manifest is missing version.");
    QTest::newRow("version blank")
        << QByteArray(R"({"version":"   ","package_url":"u","package_hash":"h"})")
        << QStringLiteral("Update manifest is missing version.");
    QTest::newRow("version numeric")
        << QByteArray(R"({"version":3,"package_url":"u","package_hash":"h"})")
        << QStringLiteral("Update manifest is missing version.");
    QTest::newRow("url missing") << QByteArray(R"({"version":"1","package_hash":"h"})")
                                 << QStringLiteral("Update manifest is missing package_url.");
    QTest::newRow("hash blank") << QByteArray(
        R"({"version":"1","package_url":"u","package_hash":" \n"})")
                                << QStringLiteral("Update manifest is missing package_hash.");
    QTest::newRow("hash array") << QByteArray(
        R"({"version":"1","package_url":"u","package_hash":["h"]})")
                                << QStringLiteral("Update manifest is missing package_hash.");
    // The policy's fields are never guessed at: what cannot be read is refused.
    const QString badExpiry = QStringLiteral("Update manifest has an invalid expires (an RFC 3339 "
                                             "time such as 2027-01-31T00:00:00Z is expected).");
    QTest::newRow("expires without a zone")
        << withRequired(R"("expires":"2027-01-31T00:00:00")") << badExpiry;
    QTest::newRow("expires a date only") << withRequired(R"("expires":"2027-01-31")") << badExpiry;
    const QString badSize = QStringLiteral(
        "Update manifest has an invalid package_size (a whole number of bytes is expected).");
    QTest::newRow("package size negative") << withRequired(R"("package_size":-1)") << badSize;
    QTest::newRow("package size fraction") << withRequired(R"("package_size":1.5)") << badSize;
}

void TestUpdateManifest::rejected()
{
    QFETCH(QByteArray, body);
    UpdateManifest manifest = earlierManifest();
    QString error;
    QVERIFY(!Updater::parseUpdateManifest(body, &manifest, &error));
    QTEST(error, "message");
    QVERIFY(sameManifest(manifest, earlierManifest()));
    // A null error pointer is allowed and changes nothing else.
    QVERIFY(!Updater::parseUpdateManifest(body, &manifest, nullptr));
    QVERIFY(sameManifest(manifest, earlierManifest()));
}

void TestUpdateManifest::nullOutput()
{
    QString error;
    QVERIFY(!Updater::parseUpdateManifest(withRequired({}), nullptr, &error));
    QCOMPARE(error, QStringLiteral("Manifest output is not available."));
}

QTEST_APPLESS_MAIN(TestUpdateManifest)
#include "tst_manifestparser.moc"
