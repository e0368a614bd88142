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
#include <climits>
#include <cstring>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <onnx/onnx_pb.h>
#include <set>

// Broken model files (support/BrokenModels): the engine refuses each with
// its reason, before allocating anything large, and loading one from a file
// neither crashes nor hangs. A valid file of an old opset is not refused.

namespace {

// Kilobytes of the process's resident memory: now, and at most since the
// peak was last reset.
long long statusKb(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(std::strlen(field))).trimmed().split(' ').at(0).toLongLong();
    }
    return 0;
}

void resetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

// How far the resident memory rose above where it was while `f` ran.
template <typename F> long long peakRiseMb(F f)
{
    resetPeak();
    const long long before = statusKb("VmRSS:");
    f();
    return (statusKb("VmHWM:") - before) / 1024;
}

// Whether `reason` holds one of `words` ("a|b"), case aside.
bool names(const QString& reason, const QString& words)
{
    const QStringList any = words.split(QLatin1Char('|'));
    return std::any_of(any.begin(), any.end(),
                       [&](const QString& w) { return reason.contains(w, Qt::CaseInsensitive); });
}

// parse, then build: the refusal's reason, or why it is not one.
QString refusalOf(const std::string& bytes, bool* refused)
{
    *refused = false;
    try {
        DnnlNetwork::build(OnnxGraph::parse(bytes));
        return QStringLiteral("taken");
    } catch (const UnsupportedGraph& e) {
        *refused = true;
        return QString::fromUtf8(e.what());
    } catch (const std::exception& e) {
        return QStringLiteral("not refused but threw: %1").arg(QString::fromUtf8(e.what()));
    }
}

} // namespace

class TestBrokenModels final : public QObject
{
    Q_OBJECT

private slots:
    void refusedWithItsReason_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("reason");
        for (const BrokenModel& m : brokenModels())
            QTest::newRow(m.name.c_str())
                << QString::fromUtf8(m.kind) << QByteArray::fromStdString(m.bytes)
                << QString::fromUtf8(m.reason);
    }

    void refusedWithItsReason()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, reason);
        bool refused = false;
        QElapsedTimer clock;
        clock.start();
        QString what;
        const long long rise = peakRiseMb([&] { what = refusalOf(bytes.toStdString(), &refused); });
        const QString about = kind + QStringLiteral(": ") + what;
        QVERIFY2(refused, qPrintable(about));
        QVERIFY2(!what.isEmpty() && names(what, reason),
                 qPrintable(about + QStringLiteral(" (wanted ") + reason + QLatin1Char(')')));
        // Refused before anything large is made.
        QVERIFY2(rise < 500, qPrintable(QStringLiteral("%1 MB").arg(rise)));
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QStringLiteral("%1 ms").arg(clock.elapsed())));
    }

    void loadingNeitherCrashesNorGrows_data() { refusedWithItsReason_data(); }

    void loadingNeitherCrashesNorGrows()
    {
        // Through a file, as a network in the data folder is loaded: a
        // runner or an exception, never a crash, and nothing large made.
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("broken.onnx"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        QString outcome;
        const long long rise = peakRiseMb([&] {
            try {
                outcome = NetworkRunner::load(path)->engine();
            } catch (const std::runtime_error& e) { // the engine's refusals among them
                outcome = QStringLiteral("refused: %1").arg(QString::fromUtf8(e.what()));
            } catch (const cv::Exception& e) {
                outcome = QStringLiteral("refused by OpenCV: %1").arg(QString::fromUtf8(e.what()));
            } catch (const std::exception& e) {
                outcome = QStringLiteral("threw what load does not: %1").arg(e.what());
            }
        });
        qInfo("%s", qPrintable(outcome));
        QVERIFY2(!outcome.startsWith(QLatin1String("threw")), qPrintable(outcome));
        QVERIFY2(rise < 500, qPrintable(QStringLiteral("%1 MB").arg(rise)));
    }

    void aBrokenNetworkTellsOnlyOfItself()
    {
        // A broken finder in the data folder: the network loads and says
        // nothing; the finders say why they are not used. And the other
        // way round.
        QTemporaryDir dir;
        auto write = [&](const QString& name, const std::string& bytes) {
            QFile file(dir.filePath(name));
            if (!file.open(QIODevice::WriteOnly))
                return QString();
            file.write(bytes.data(), qint64(bytes.size()));
            return file.fileName();
        };
        OnnxModel sound("x", {1, 3, 8, 8});
        sound.node("Relu", {"x"}, {"output"});
        sound.output("output", {1, 3, 8, 8});
        const QString good = write(QStringLiteral("good.onnx"), sound.bytes());
        const QString broken = write(QStringLiteral("broken.onnx"), brokenModels().front().bytes);
        {
            OnDeviceVision vision(good, broken, broken);
            QVERIFY(vision.instanceMasksAvailable());
            QCOMPARE(vision.unavailableReason(), QString());
            QVERIFY(!vision.findersUnavailableReason().isEmpty());
        }
        {
            OnDeviceVision vision(broken, good, good);
            QVERIFY(!vision.instanceMasksAvailable());
            QCOMPARE(vision.unavailableReason(),
                     QStringLiteral("The subject finder could not be loaded."));
        }
    }

    void integerWeightsAndOperandsAreConverted()
    {
        // INT64 weights, bias and constant operand: read as the numbers
        // they are, the same on every build (never memory left unset).
        OnnxModel m("x", {1, 3, 2, 2});
        m.int64s("w", {4, 3, 1, 1}, std::vector<int64_t>(12, 1));
        m.int64s("b", {4}, {1, 2, 3, 4});
        m.node("Conv", {"x", "w", "b"}, {"c"});
        m.int64s("k", {1, 4, 1, 1}, {10, 20, 30, 40});
        m.node("Add", {"c", "k"}, {"y"});
        m.output("y", {1, 4, 2, 2});
        for (int run = 0; run < 2; ++run) {
            auto network = DnnlNetwork::build(OnnxGraph::parse(m.bytes()));
            const std::vector<float> y = Blobs::values(
                network->forward({Blobs::make({1, 3, 2, 2}, std::vector<float>(12, 1.f))}).at(0));
            // Each output: three ones summed, its bias, its operand.
            for (int c = 0; c < 4; ++c) {
                for (int i = 0; i < 4; ++i)
                    QCOMPARE(y[size_t(c * 4 + i)], float(3 + (c + 1) + 10 * (c + 1)));
            }
        }
    }

    void attributeSliceOfAnOldOpsetIsNotRefused()
    {
        // Opset 9: Slice takes starts, ends and axes as attributes. The
        // shape [1, 1] and then 4 make the reshape to [1, 1, 4].
        OnnxModel m("x", {1, 1, 2, 2}, 9);
        m.node("Shape", {"x"}, {"shape"});
        auto& slice = m.node("Slice", {"shape"}, {"nc"});
        OnnxModel::attr(slice, "starts", std::vector<int64_t>{0});
        OnnxModel::attr(slice, "ends", std::vector<int64_t>{2});
        OnnxModel::attr(slice, "axes", std::vector<int64_t>{0});
        m.ints("four", {4});
        auto& cat = m.node("Concat", {"nc", "four"}, {"target"});
        OnnxModel::attr(cat, "axis", int64_t(0));
        m.node("Reshape", {"x", "target"}, {"y"});
        m.output("y", {1, 1, 4});
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("slice9.onnx"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) &&
                file.write(QByteArray::fromStdString(m.bytes())) > 0);
        file.close();
        std::unique_ptr<NetworkRunner> runner;
        try {
            runner = NetworkRunner::load(path);
        } catch (const std::exception& e) {
            QFAIL(e.what());
        }
        qInfo("%s", qPrintable(runner->engine()));
        const cv::Mat y = runner->forward(Blobs::make({1, 1, 2, 2}, {1, 2, 3, 4}), {"y"}).at(0);
        QCOMPARE(Blobs::values(y), (std::vector<float>{1, 2, 3, 4}));
        QCOMPARE(y.total(), size_t(4));
    }
};

namespace {

bool writeTo(const QDir& dir, const std::string& name, const std::string& bytes)
{
    QFile file(dir.filePath(QString::fromStdString(name + ".onnx")));
    return file.open(QIODevice::WriteOnly) &&
           file.write(bytes.data(), qint64(bytes.size())) == qint64(bytes.size());
}

// The first `count` nodes of `model` and the initializers they read, with
// the last node's outputs as the graph's.
std::string firstNodes(const onnx::ModelProto& model, int count)
{
    const onnx::GraphProto& g = model.graph();
    onnx::ModelProto cut;
    cut.set_ir_version(model.ir_version());
    *cut.mutable_opset_import() = model.opset_import();
    onnx::GraphProto* to = cut.mutable_graph();
    std::set<std::string> read;
    for (int i = 0; i < count; ++i) {
        *to->add_node() = g.node(i);
        read.insert(g.node(i).input().begin(), g.node(i).input().end());
    }
    std::set<std::string> initializers;
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
    google::protobuf::io::ArrayInputStream array(all.constData(), int(all.size()));
    google::protobuf::io::CodedInputStream stream(&array);
    stream.SetTotalBytesLimit(INT_MAX);
    if (!model.ParseFromCodedStream(&stream))
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
        if (!QDir().mkpath(dir.path()))
            return 1;
        for (const BrokenModel& m : brokenModels()) {
            if (!writeTo(dir, m.name, m.bytes))
                return 1;
        }
        for (int i = 3; i < argc; ++i) {
            const QString path = QString::fromLocal8Bit(argv[i]);
            const std::vector<std::string> parts = beginningsOf(path, size_t(3) << 20);
            for (size_t k = 0; k < parts.size(); ++k) {
                if (!writeTo(dir,
                             QFileInfo(path).baseName().toStdString() + "-" + std::to_string(k),
                             parts[k]))
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
