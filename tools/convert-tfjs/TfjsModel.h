#pragma once

// A TensorFlow.js graph model read into memory: the nodes of its GraphDef
// (modelTopology) and the values of its weights, dequantized.

#include <QJsonObject>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tfjs {

struct Error : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& message);

enum class DType { Float, Int, Bool };

// A tensor known while converting. Values are held as doubles whatever the
// type: every float32 and every integer the graphs use is exact in a double.
struct HostTensor
{
    DType type = DType::Float;
    std::vector<int64_t> shape;
    std::vector<double> values;

    int64_t size() const;
    static HostTensor scalar(DType type, double value);
    static HostTensor vector(DType type, const std::vector<int64_t>& values);
};

int64_t elementCount(const std::vector<int64_t>& shape);

struct Node
{
    std::string name;
    std::string op;
    // Data inputs as "node:index" (index 0 written out); control inputs dropped.
    std::vector<std::string> inputs;
    QJsonObject attr;

    bool has(const char* key) const { return attr.contains(QLatin1String(key)); }
    int64_t attrInt(const char* key, int64_t fallback) const;
    double attrFloat(const char* key, double fallback) const;
    bool attrBool(const char* key, bool fallback) const;
    std::string attrString(const char* key, const std::string& fallback) const;
    std::vector<int64_t> attrInts(const char* key) const;
    std::vector<std::string> attrStrings(const char* key) const;
    std::string attrType(const char* key) const;
};

struct Model
{
    std::vector<Node> nodes;
    std::map<std::string, HostTensor> weights;
    // Signature outputs as "node:index".
    std::vector<std::string> outputs;
};

// "name" -> "name:0", "name:1" stays.
std::string tensorKey(const std::string& input);
std::string nodeOf(const std::string& key);
int indexOf(const std::string& key);

float halfToFloat(uint16_t h);

// Reads MODEL.json and the weight shards it names (next to it).
Model loadModel(const std::string& jsonPath);

// The same from bytes already in memory; `shards` in the manifest's order.
Model parseModel(const QByteArray& json, const std::vector<QByteArray>& shards);

} // namespace tfjs
