#include "TfjsModel.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <cmath>
#include <cstring>

namespace tfjs {

void fail(const std::string& message)
{
    throw Error(message);
}

int64_t elementCount(const std::vector<int64_t>& shape)
{
    int64_t n = 1;
    for (int64_t d : shape)
        n *= d;
    return n;
}

int64_t HostTensor::size() const
{
    return elementCount(shape);
}

HostTensor HostTensor::scalar(DType type, double value)
{
    HostTensor t;
    t.type = type;
    t.values = {value};
    return t;
}

HostTensor HostTensor::vector(DType type, const std::vector<int64_t>& values)
{
    HostTensor t;
    t.type = type;
    t.shape = {int64_t(values.size())};
    t.values.assign(values.begin(), values.end());
    return t;
}

std::string tensorKey(const std::string& input)
{
    const auto colon = input.rfind(':');
    if (colon == std::string::npos)
        return input + ":0";
    return input;
}

std::string nodeOf(const std::string& key)
{
    return key.substr(0, key.rfind(':'));
}

int indexOf(const std::string& key)
{
    return std::stoi(key.substr(key.rfind(':') + 1));
}

namespace {

QJsonValue attrValue(const QJsonObject& attr, const char* key)
{
    return attr.value(QLatin1String(key));
}

// Integers in the JSON form of a GraphDef are strings ("2"), sometimes numbers.
int64_t toInt(const QJsonValue& v)
{
    if (v.isString())
        return v.toString().toLongLong();
    return static_cast<int64_t>(v.toDouble());
}

std::string fromBase64(const QJsonValue& v)
{
    return QByteArray::fromBase64(v.toString().toLatin1()).toStdString();
}

} // namespace

int64_t Node::attrInt(const char* key, int64_t fallback) const
{
    const QJsonObject a = attrValue(attr, key).toObject();
    return a.contains(QLatin1String("i")) ? toInt(a.value(QLatin1String("i"))) : fallback;
}

double Node::attrFloat(const char* key, double fallback) const
{
    const QJsonObject a = attrValue(attr, key).toObject();
    return a.contains(QLatin1String("f")) ? a.value(QLatin1String("f")).toDouble() : fallback;
}

bool Node::attrBool(const char* key, bool fallback) const
{
    const QJsonObject a = attrValue(attr, key).toObject();
    return a.contains(QLatin1String("b")) ? a.value(QLatin1String("b")).toBool() : fallback;
}

std::string Node::attrString(const char* key, const std::string& fallback) const
{
    const QJsonObject a = attrValue(attr, key).toObject();
    return a.contains(QLatin1String("s")) ? fromBase64(a.value(QLatin1String("s"))) : fallback;
}

std::vector<int64_t> Node::attrInts(const char* key) const
{
    std::vector<int64_t> out;
    const QJsonArray list = attrValue(attr, key)
                                .toObject()
                                .value(QLatin1String("list"))
                                .toObject()
                                .value(QLatin1String("i"))
                                .toArray();
    for (const QJsonValue& v : list)
        out.push_back(toInt(v));
    return out;
}

std::vector<std::string> Node::attrStrings(const char* key) const
{
    std::vector<std::string> out;
    const QJsonArray list = attrValue(attr, key)
                                .toObject()
                                .value(QLatin1String("list"))
                                .toObject()
                                .value(QLatin1String("s"))
                                .toArray();
    for (const QJsonValue& v : list)
        out.push_back(fromBase64(v));
    return out;
}

std::string Node::attrType(const char* key) const
{
    return attrValue(attr, key).toObject().value(QLatin1String("type")).toString().toStdString();
}

float halfToFloat(uint16_t h)
{
    const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
    const uint32_t exponent = (h >> 10) & 0x1fu;
    const uint32_t mantissa = h & 0x3ffu;
    if (exponent == 0) {
        // Zero or subnormal: mantissa * 2^-24, exact in float.
        const float magnitude = std::ldexp(static_cast<float>(mantissa), -24);
        return sign ? -magnitude : magnitude;
    }
    uint32_t bits;
    if (exponent == 0x1f)
        bits = sign | 0x7f800000u | (mantissa << 13);
    else
        bits = sign | ((exponent + 127 - 15) << 23) | (mantissa << 13);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

namespace {

// Little-endian reads from the weight bytes.
template <typename T> T readLE(const char* p)
{
    T value;
    std::memcpy(&value, p, sizeof value); // the formats and this machine are little-endian
    return value;
}

// Decodes one manifest entry from `bytes` at `offset`, advancing it.
HostTensor decodeWeight(const QJsonObject& entry, const QByteArray& bytes, int64_t& offset)
{
    HostTensor t;
    for (const QJsonValue& d : entry.value(QLatin1String("shape")).toArray())
        t.shape.push_back(toInt(d));
    const int64_t n = t.size();
    const std::string name = entry.value(QLatin1String("name")).toString().toStdString();
    const std::string dtype = entry.value(QLatin1String("dtype")).toString().toStdString();
    const QJsonObject quant = entry.value(QLatin1String("quantization")).toObject();
    const std::string qtype = quant.value(QLatin1String("dtype")).toString().toStdString();

    int width;
    if (!qtype.empty())
        width = qtype == "float16" || qtype == "uint16" ? 2 : qtype == "uint8" ? 1 : 0;
    else
        width = dtype == "float32" || dtype == "int32" ? 4 : dtype == "bool" ? 1 : 0;
    if (width == 0)
        fail("weight '" + name + "' has an unsupported type " + dtype + "/" + qtype);
    if (offset + n * width > bytes.size())
        fail("the weight files end inside '" + name + "'");

    t.type = dtype == "float32" ? DType::Float : dtype == "bool" ? DType::Bool : DType::Int;
    t.values.resize(static_cast<size_t>(n));
    const char* p = bytes.constData() + offset;
    const double scale = quant.value(QLatin1String("scale")).toDouble(1.0);
    const double minimum = quant.value(QLatin1String("min")).toDouble(0.0);
    for (int64_t i = 0; i < n; ++i, p += width) {
        double v;
        if (qtype == "float16")
            v = halfToFloat(readLE<uint16_t>(p));
        else if (qtype == "uint16")
            v = float(readLE<uint16_t>(p) * scale + minimum);
        else if (qtype == "uint8")
            v = float(static_cast<uint8_t>(*p) * scale + minimum);
        else if (dtype == "float32")
            v = readLE<float>(p);
        else if (dtype == "int32")
            v = readLE<int32_t>(p);
        else
            v = *p ? 1 : 0;
        t.values[static_cast<size_t>(i)] = v;
    }
    offset += n * width;
    return t;
}

QByteArray readFile(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        fail("cannot open " + path);
    return file.readAll();
}

std::vector<std::string> shardPaths(const QJsonObject& root)
{
    std::vector<std::string> paths;
    for (const QJsonValue& group : root.value(QLatin1String("weightsManifest")).toArray())
        for (const QJsonValue& p : group.toObject().value(QLatin1String("paths")).toArray())
            paths.push_back(p.toString().toStdString());
    return paths;
}

QJsonObject parseJson(const QByteArray& json)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (doc.isNull() || !doc.isObject())
        fail("the model is not valid JSON: " + error.errorString().toStdString());
    return doc.object();
}

} // namespace

Model parseModel(const QByteArray& json, const std::vector<QByteArray>& shards)
{
    const QJsonObject root = parseJson(json);
    Model model;

    const QJsonObject topology = root.value(QLatin1String("modelTopology")).toObject();
    const QJsonArray nodes = topology.value(QLatin1String("node")).toArray();
    if (nodes.isEmpty())
        fail("the model has no graph (modelTopology.node)");
    for (const QJsonValue& v : nodes) {
        const QJsonObject o = v.toObject();
        Node node;
        node.name = o.value(QLatin1String("name")).toString().toStdString();
        node.op = o.value(QLatin1String("op")).toString().toStdString();
        node.attr = o.value(QLatin1String("attr")).toObject();
        for (const QJsonValue& in : o.value(QLatin1String("input")).toArray()) {
            const std::string s = in.toString().toStdString();
            if (!s.empty() && s[0] != '^')
                node.inputs.push_back(tensorKey(s));
        }
        model.nodes.push_back(std::move(node));
    }

    // Each group's weights follow one another across the group's shards.
    size_t shard = 0;
    for (const QJsonValue& g : root.value(QLatin1String("weightsManifest")).toArray()) {
        const QJsonObject group = g.toObject();
        QByteArray bytes;
        for (int i = 0; i < group.value(QLatin1String("paths")).toArray().size(); ++i, ++shard) {
            if (shard >= shards.size())
                fail("fewer weight files than the manifest names");
            bytes += shards[shard];
        }
        int64_t offset = 0;
        for (const QJsonValue& w : group.value(QLatin1String("weights")).toArray()) {
            const QJsonObject entry = w.toObject();
            model.weights[entry.value(QLatin1String("name")).toString().toStdString()] =
                decodeWeight(entry, bytes, offset);
        }
        if (offset != bytes.size())
            fail("the weight files hold " + std::to_string(bytes.size() - offset) +
                 " bytes more than the manifest describes");
    }

    const QJsonObject outputs = root.value(QLatin1String("signature"))
                                    .toObject()
                                    .value(QLatin1String("outputs"))
                                    .toObject();
    for (const QString& key : outputs.keys()) {
        const QString name = outputs.value(key).toObject().value(QLatin1String("name")).toString();
        model.outputs.push_back(tensorKey((name.isEmpty() ? key : name).toStdString()));
    }
    return model;
}

Model loadModel(const std::string& jsonPath)
{
    const QByteArray json = readFile(jsonPath);
    const std::string dir =
        QFileInfo(QString::fromStdString(jsonPath)).absolutePath().toStdString() + "/";
    std::vector<QByteArray> shards;
    for (const std::string& p : shardPaths(parseJson(json)))
        shards.push_back(readFile(dir + p));
    return parseModel(json, shards);
}

} // namespace tfjs
