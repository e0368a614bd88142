#include "BrokenModels.h"
#include "DnnlNetwork.h"
#include "OnDeviceVision.h"
#include "OnnxGraph.h"
#include "OnnxModel.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>
#include <set>

// Broken model files (support/BrokenModels): the engine refuses each with
// its reason, before allocating anything large. Also what a broken network
// keeps from the others, integer weights, and the fuzzer's seeds.

namespace {

// How far the resident memory rose above where it was while `f` ran, in MB.
template <typename F> long long peakRiseMb(F f)
{
    auto kb = [](const char* field) { // of /proc/self/status
        QFile status(QStringLiteral("/proc/self/status"));
        const QByteArray all = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
        const int from = all.indexOf(field) + int(std::strlen(field));
        return all.mid(from, all.indexOf('\n', from) - from).trimmed().split(' ')[0].toLongLong();
    };
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5"); // resets the peak
    refs.close();
    const long long before = kb("VmRSS:");
    f();
    return (kb("VmHWM:") - before) / 1024;
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
        // Refused with its reason before anything large is made. Loaded from
        // a file, as from the data folder, never a crash: tst_broken_networks.
        QFETCH(QByteArray, bytes);
        QFETCH(QString, reason);
        QString what = QStringLiteral("taken");
        QElapsedTimer clock;
        clock.start();
        const long long rise = peakRiseMb([&] {
            try {
                DnnlNetwork::build(OnnxGraph::parse(bytes.toStdString()));
            } catch (const UnsupportedGraph& e) {
                what = QString::fromUtf8(e.what());
            }
        });
        QVERIFY2(QRegularExpression(reason, QRegularExpression::CaseInsensitiveOption)
                     .match(what)
                     .hasMatch(),
                 qPrintable(what + QStringLiteral(" (wanted ") + reason + QLatin1Char(')')));
        QVERIFY2(rise < 500 && clock.elapsed() < 5000,
                 qPrintable(QStringLiteral("%1 MB, %2 ms").arg(rise).arg(clock.elapsed())));
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

// The longest beginnings of the network at `path` within a sixteenth, a
// quarter and all of `budget` bytes that the engine builds: seeds with the
// network's own operators and attributes.
std::vector<std::string> beginningsOf(const QString& path, size_t budget)
{
    QFile file(path);
    onnx::ModelProto model;
    if (!file.open(QIODevice::ReadOnly) || !model.ParseFromString(file.readAll().toStdString()))
        return {};
    std::vector<std::string> found;
    int count = 0;
    for (size_t limit : {budget / 16, budget / 4, budget}) {
        while (count < model.graph().node_size() && firstNodes(model, count + 1).size() <= limit)
            ++count;
        for (int n = count; n > 0 && count - n < 40; --n) {
            try {
                const std::string bytes = firstNodes(model, n);
                DnnlNetwork::build(OnnxGraph::parse(bytes));
                if (found.empty() || found.back() != bytes)
                    found.push_back(bytes);
                break;
            } catch (const std::exception&) {
            }
        }
    }
    return found;
}

} // namespace

// `tst_brokenmodels --write DIR [NETWORK.onnx...]` writes the broken files,
// one NAME.onnx each, and as NETWORK-N.onnx the beginnings of each network
// given that fit the fuzzer's input cap.
int main(int argc, char** argv)
{
    if (argc < 3 || std::strcmp(argv[1], "--write") != 0) {
        QCoreApplication app(argc, argv);
        TestBrokenModels test;
        return QTest::qExec(&test, argc, argv);
    }
    std::vector<std::pair<std::string, std::string>> files;
    for (const BrokenModel& m : brokenModels())
        files.emplace_back(m.name, m.bytes);
    for (int i = 3; i < argc; ++i) {
        const QString path = QString::fromLocal8Bit(argv[i]);
        for (const std::string& bytes : beginningsOf(path, size_t(3) << 20))
            files.emplace_back(QFileInfo(path).baseName().toStdString() + "-" +
                                   std::to_string(files.size()),
                               bytes);
    }
    const QDir dir(QString::fromLocal8Bit(argv[2]));
    bool written = QDir().mkpath(dir.path());
    for (const auto& [name, bytes] : files)
        written = written && writeFile(dir.filePath(QString::fromStdString(name + ".onnx")), bytes);
    return written ? 0 : 1;
}

#include "tst_brokenmodels.moc"
