#include "Await.h"
#include "TestSupport.h"

#include "recognition/EngineError.h"
#include "recognition/ModelFile.h"
#include "recognition/TranscriptionEngine.h"

#include "SyntheticModel.h"

#include <QTemporaryDir>

#include <cstring>
#include <random>

namespace {

template <typename T> T valueAt(const QByteArray &bytes, qsizetype offset)
{
    T value;
    std::memcpy(&value, bytes.constData() + offset, sizeof value);
    return value;
}

template <typename T> void setAt(QByteArray &bytes, qsizetype offset, T value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// Offset of the first tensor record: after the magic, 11 header fields, the mel filters
// and the vocabulary.
qsizetype tensorsStart(const QByteArray &model)
{
    qsizetype at = 4 + 11 * 4;
    const auto mels = valueAt<std::int32_t>(model, at);
    const auto bins = valueAt<std::int32_t>(model, at + 4);
    at += 8 + qsizetype(mels) * bins * 4;
    const auto tokens = valueAt<std::int32_t>(model, at);
    at += 4;
    for (std::int32_t i = 0; i < tokens; ++i)
        at += 4 + valueAt<std::uint32_t>(model, at);
    return at;
}

QByteArray randomBytes(qsizetype count)
{
    std::mt19937 random(42);
    QByteArray bytes(count, Qt::Uninitialized);
    for (char &c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

constexpr qsizetype ftypeOffset = 4 + 10 * 4;
constexpr qsizetype vocabOffset = 4;
constexpr qsizetype firstTokenOffset = 4 + 11 * 4 + 8 + 80 * 201 * 4 + 4;

} // namespace

class ModelFileTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString validPath;
    QByteArray valid;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        validPath = dir.filePath(QStringLiteral("ggml-synthetic.bin"));
        QVERIFY(SyntheticModel::write(validPath.toStdString(), {}));
        valid = TestSupport::readFile(validPath);
    }

    void syntheticModelIsAccepted()
    {
        const auto problem = ModelFile::problem(validPath);
        QVERIFY2(!problem, qPrintable(problem.value_or(QString())));
        SyntheticModel::Options twoLayers;
        twoLayers.layers = 2;
        twoLayers.state = 128;
        const QString other = dir.filePath(QStringLiteral("ggml-two-layers.bin"));
        QVERIFY(SyntheticModel::write(other.toStdString(), twoLayers));
        QVERIFY(!ModelFile::problem(other));
    }

    void malformedFilesAreRejected_data()
    {
        QTest::addColumn<QByteArray>("content");

        const qsizetype tensors = tensorsStart(valid);
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("text renamed .bin") << QByteArray("This is a shopping list, not a model.\n");
        QTest::newRow("magic then random bytes") << valid.left(4) + randomBytes(1 << 20);
        QTest::newRow("header only") << valid.left(4 + 11 * 4);
        QTest::newRow("cut inside the vocabulary") << valid.left(100000);
        // whisper takes a file without tensors for an "empty model" and runs on garbage.
        QTest::newRow("cut after the vocabulary") << valid.left(tensors);
        QTest::newRow("cut inside a tensor") << valid.left(valid.size() - 1000);
        // whisper reads the short last tensor without noticing.
        QTest::newRow("cut inside the last tensor") << valid.left(valid.size() - 100);
        // The last record: header, one dimension, "decoder.blocks.0.cross_attn.out.bias", 64 floats.
        QTest::newRow("cut before the last tensor") << valid.left(valid.size() - (12 + 4 + 36 + 256));
        QTest::newRow("data after the last tensor") << valid + QByteArray(7, '\0');

        QByteArray bad = valid;
        setAt<std::int32_t>(bad, ftypeOffset, 999);
        QTest::newRow("unknown file type") << bad;
        bad = valid;
        setAt<std::int32_t>(bad, ftypeOffset, 4); // known to ggml, but not as a weight type
        QTest::newRow("file type without weight type") << bad;
        bad = valid;
        setAt<std::int32_t>(bad, vocabOffset, 60000);
        QTest::newRow("vocabulary too large") << bad;
        bad = valid;
        setAt<std::int32_t>(bad, vocabOffset, 1000);
        QTest::newRow("vocabulary too small") << bad;
        bad = valid;
        setAt<std::int32_t>(bad, 4 + 2 * 4, 63); // state not divisible by the heads
        QTest::newRow("odd state") << bad;
        bad = valid;
        setAt<std::uint32_t>(bad, firstTokenOffset, 0xfffffff0);
        QTest::newRow("token length past the end") << bad;
        bad = valid;
        setAt<std::int32_t>(bad, tensors + 8, 4); // a removed weight type
        QTest::newRow("tensor of a removed type") << bad;
        bad = valid;
        setAt<std::int32_t>(bad, tensors + 8, 77);
        QTest::newRow("tensor of an unknown type") << bad;
        bad = valid;
        setAt<std::int32_t>(bad, tensors, 5);
        QTest::newRow("tensor with five dimensions") << bad;
        bad = valid;
        setAt<std::int32_t>(bad, tensors + 4, -1);
        QTest::newRow("negative tensor name length") << bad;
    }

    void malformedFilesAreRejected()
    {
        QFETCH(QByteArray, content);
        const QString path = dir.filePath(QStringLiteral("ggml-bad.bin"));
        TestSupport::writeFile(path, content);

        QVERIFY(ModelFile::problem(path));

        // And through the engine: a load failure, no crash, no model.
        TranscriptionEngine engine;
        try {
            Await::result(engine.load(path, QStringLiteral("bad")));
            QFAIL("the malformed model was loaded");
        } catch (const EngineError &error) {
            QCOMPARE(error.kind(), EngineError::Kind::loadFailed);
            QCOMPARE(error.description(), QStringLiteral("не удалось загрузить ggml-bad.bin"));
        }
        QVERIFY(!engine.isLoaded());
        QVERIFY(!engine.loadedModel());
        QVERIFY(TestSupport::logLines().last().contains(QStringLiteral("[ERROR] Model file rejected: ")));
    }

    void missingFileIsRejected()
    {
        QCOMPARE(ModelFile::problem(dir.filePath(QStringLiteral("absent.bin"))),
                 QStringLiteral("file cannot be opened"));
    }
};

TALVANE_TEST_MAIN(ModelFileTest)
#include "ModelFileTest.moc"
