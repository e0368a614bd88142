#include "BrokenModels.h"
#include "DnnlNetwork.h"
#include "NetworkRunner.h"
#include "OnDeviceVision.h"
#include "OnnxGraph.h"
#include "OnnxModel.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>
#include <set>

// Broken model files (support/BrokenModels): the engine refuses each with
// its reason, before allocating anything large, and loading one from a file
// neither crashes nor hangs.

namespace {

// Kilobytes of the process's resident memory: `field` of /proc/self/status.
long long statusKb(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    const QByteArray all = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    const int from = all.indexOf(field) + int(std::strlen(field));
    return all.mid(from, all.indexOf('\n', from) - from).trimmed().split(' ').at(0).toLongLong();
}

// How far the resident memory rose above where it was while `f` ran.
template <typename F> long long peakRiseMb(F f)
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5"); // resets the peak
    refs.close();
    const long long before = statusKb("VmRSS:");
    f();
    return (statusKb("VmHWM:") - before) / 1024;
}

bool writeFile(const QString& path, const std::string& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) &&
           file.write(bytes.data(), qint64(bytes.size())) == qint64(bytes.size());
}

} // namespace

class TestBrokenModels final : public QObject
{
    Q_OBJECT

private slots:
    void refusedWithItsReason_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("reason");
        for (const BrokenModel& m : brokenModels())
            QTest::newRow(m.name.c_str())
                << QByteArray::fromStdString(m.bytes) << QString::fromUtf8(m.reason);
    }

    void refusedWithItsReason()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, reason);
        QString what = QStringLiteral("taken");
        QElapsedTimer clock;
        clock.start();
        long long rise = peakRiseMb([&] {
            try {
                DnnlNetwork::build(OnnxGraph::parse(bytes.toStdString()));
            } catch (const UnsupportedGraph& e) {
                what = QString::fromUtf8(e.what());
            }
        });
        const QStringList words = reason.split(QLatin1Char('|'));
        QVERIFY2(
            std::any_of(words.begin(), words.end(),
                        [&](const QString& w) { return what.contains(w, Qt::CaseInsensitive); }),
            qPrintable(what + QStringLiteral(" (wanted ") + reason + QLatin1Char(')')));
        // Refused before anything large is made.
        QVERIFY2(rise < 500 && clock.elapsed() < 5000,
                 qPrintable(QStringLiteral("%1 MB, %2 ms").arg(rise).arg(clock.elapsed())));

        // Through a file, as a network in the data folder is loaded: a
        // runner or an exception, never a crash, and nothing large made.
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("broken.onnx"));
        QVERIFY(writeFile(path, bytes.toStdString()));
        rise = peakRiseMb([&] {
            try {
                what = NetworkRunner::load(path)->engine();
            } catch (const std::runtime_error& e) { // the engine's refusals among them
                what = QStringLiteral("refused: %1").arg(QString::fromUtf8(e.what()));
            } catch (const cv::Exception& e) {
                what = QStringLiteral("refused by OpenCV: %1").arg(QString::fromUtf8(e.what()));
            }
        });
        qInfo("%s", qPrintable(what));
        QVERIFY2(rise < 500, qPrintable(QStringLiteral("%1 MB").arg(rise)));
    }

    void aBrokenNetworkTellsOnlyOfItself()
    {
        // A broken finder in the data folder: the network loads and says
        // nothing; the finders say why they are not used. And the other
        // way round.
        QTemporaryDir dir;
        const QString good = dir.filePath(QStringLiteral("good.onnx"));
        const QString broken = dir.filePath(QStringLiteral("broken.onnx"));
        OnnxModel sound("x", {1, 3, 8, 8});
        sound.node("Relu", {"x"}, {"output"});
        sound.output("output", {1, 3, 8, 8});
        QVERIFY(writeFile(good, sound.bytes()) && writeFile(broken, brokenModels()[0].bytes));
        {
            OnDeviceVision vision(good, broken, broken);
            QVERIFY(vision.instanceMasksAvailable());
            QCOMPARE(vision.unavailableReason(), QString());
            QVERIFY(!vision.findersUnavailableReason().isEmpty());
        }
        OnDeviceVision vision(broken, good, good);
        QVERIFY(!vision.instanceMasksAvailable());
        QCOMPARE(vision.unavailableReason(),
                 QStringLiteral("The subject finder could not be loaded."));
    }

    void integerWeightsAndOperandsAreConverted()
    {
        // INT64 weights, bias and constant operand: read as the numbers
        // they are, the same on every build (never memory left unset).
        OnnxModel m("x", {1, 3, 2, 2});
        m.int64s("w", {4, 3, 1, 1}, Dims(12, 1));
        m.int64s("b", {4}, {1, 2, 3, 4});
        m.int64s("k", {1, 4, 1, 1}, {10, 20, 30, 40});
        m.node("Conv", {"x", "w", "b"}, {"c"});
        m.node("Add", {"c", "k"}, {"y"});
        m.output("y");
        // Each output: three ones summed, its bias, its operand.
        std::vector<float> expected;
        for (int c = 1; c <= 4; ++c)
            expected.insert(expected.end(), 4, float(3 + c + 10 * c));
        for (int run = 0; run < 2; ++run) {
            auto network = DnnlNetwork::build(OnnxGraph::parse(m.bytes()));
            const cv::Mat x = Blobs::make({1, 3, 2, 2}, std::vector<float>(12, 1.f));
            QCOMPARE(Blobs::values(network->forward({x}).at(0)), expected);
        }
    }
};

namespace {

// The first `count` nodes of `model` and the initializers they read, with
// the last node's outputs as the graph's.
std::string firstNodes(const onnx::ModelProto& model, int count)
{
    const onnx::GraphProto& g = model.graph();
    onnx::ModelProto cut;
    cut.set_ir_version(model.ir_version());
    *cut.mutable_opset_import() = model.opset_import();
    onnx::GraphProto* to = cut.mutable_graph();
    std::set<std::string> read, initializers;
    for (int i = 0; i < count; ++i) {
        *to->add_node() = g.node(i);
        read.insert(g.node(i).input().begin(), g.node(i).input().end());
    }
    for (const onnx::TensorProto& t : g.initializer()) {
        initializers.insert(t.name());
        if (read.count(t.name()))
            *to->add_initializer() = t;
    }
    for (const onnx::ValueInfoProto& v : g.input()) {
        if (!initializers.count(v.name()))
            *to->add_input() = v;
    }
    for (const std::string& name : g.node(count - 1).output()) {
        onnx::ValueInfoProto* out = to->add_output();
        out->set_name(name);
        out->mutable_type()->mutable_tensor_type()->set_elem_type(onnx::TensorProto::FLOAT);
    }
    return cut.SerializeAsString();
}

// The longest beginnings of a real network, up to `budget` bytes each, that
// the engine builds: seeds with the network's own operators and attributes.
std::vector<std::string> beginningsOf(const QString& path, size_t budget)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray all = file.readAll();
    onnx::ModelProto model;
    if (!model.ParseFromArray(all.constData(), int(all.size())))
        return {};
    std::vector<std::string> found;
    int count = 0;
    for (size_t limit : {budget / 16, budget / 4, budget}) {
        while (count < model.graph().node_size() && firstNodes(model, count + 1).size() <= limit)
            ++count;
        for (int n = count; n > 0 && count - n < 40; --n) {
            const std::string bytes = firstNodes(model, n);
            try {
                DnnlNetwork::build(OnnxGraph::parse(bytes));
            } catch (const std::exception&) {
                continue;
            }
            if (found.empty() || found.back() != bytes)
                found.push_back(bytes);
            break;
        }
    }
    return found;
}

} // namespace

// `tst_brokenmodels --write DIR [NETWORK.onnx...]` writes the broken files,
// one NAME.onnx each, and the beginnings of each network given that fit
// the fuzzer's input cap.
int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--write") == 0) {
        const QDir dir(QString::fromLocal8Bit(argv[2]));
        auto write = [&](const std::string& name, const std::string& bytes) {
            return writeFile(dir.filePath(QString::fromStdString(name + ".onnx")), bytes);
        };
        if (!QDir().mkpath(dir.path()))
            return 1;
        for (const BrokenModel& m : brokenModels()) {
            if (!write(m.name, m.bytes))
                return 1;
        }
        for (int i = 3; i < argc; ++i) {
            const QString path = QString::fromLocal8Bit(argv[i]);
            const std::vector<std::string> parts = beginningsOf(path, size_t(3) << 20);
            const std::string base = QFileInfo(path).baseName().toStdString() + "-";
            for (size_t k = 0; k < parts.size(); ++k) {
                if (!write(base + std::to_string(k), parts[k]))
                    return 1;
            }
        }
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestBrokenModels test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_brokenmodels.moc"
