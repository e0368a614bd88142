// widen-network: rewrites the segmentation network so OpenCV's DNN module can
// read it. The exported file keeps its weights in float16 and wraps every
// layer that needs float32 in a pair of Cast nodes; OpenCV 4.6 reads neither.
//
//   widen-network [--keep NAME]... IN.onnx OUT.onnx
//
// Every FLOAT16 initializer and Constant tensor becomes FLOAT, the Casts
// between the two float types go (their consumers read the Cast's input), the
// remaining FLOAT16 type annotations become FLOAT, and the nodes are put back
// in topological order (the exporter appended the Casts at the end).
//
// With --keep, only the named graph outputs remain, together with the nodes
// and initializers they depend on. OpenCV runs every layer that precedes the
// requested one, so branches feeding other outputs cost time even when their
// results are never read.
//
// The output is byte-for-byte reproducible for a given input.

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <iostream>
#include <iterator>
#include <map>
#include <onnx/onnx_pb.h>
#include <queue>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

using onnx::GraphProto;
using onnx::ModelProto;
using onnx::NodeProto;
using onnx::TensorProto;
using onnx::TypeProto;

[[noreturn]] void fail(const std::string& message)
{
    throw std::runtime_error(message);
}

float halfToFloat(uint16_t h)
{
    const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
    const uint32_t exponent = (h >> 10) & 0x1fu;
    const uint32_t mantissa = h & 0x3ffu;
    uint32_t bits;
    if (exponent == 0) {
        // Zero or subnormal: mantissa * 2^-24, exactly representable in float.
        const float magnitude = std::ldexp(static_cast<float>(mantissa), -24);
        return sign ? -magnitude : magnitude;
    }
    if (exponent == 0x1f) {
        // Infinity, or NaN with its payload kept.
        bits = sign | 0x7f800000u | (mantissa << 13);
    } else {
        bits = sign | ((exponent + 127 - 15) << 23) | (mantissa << 13);
    }
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::string floatsToRawLittleEndian(const std::vector<float>& values)
{
    std::string raw(values.size() * 4, '\0');
    for (size_t i = 0; i < values.size(); ++i) {
        uint32_t bits;
        std::memcpy(&bits, &values[i], sizeof bits);
        raw[4 * i + 0] = static_cast<char>(bits & 0xff);
        raw[4 * i + 1] = static_cast<char>((bits >> 8) & 0xff);
        raw[4 * i + 2] = static_cast<char>((bits >> 16) & 0xff);
        raw[4 * i + 3] = static_cast<char>((bits >> 24) & 0xff);
    }
    return raw;
}

int64_t elementCount(const TensorProto& tensor)
{
    int64_t count = 1;
    for (int64_t d : tensor.dims())
        count *= d;
    return count;
}

// Converts one FLOAT16 tensor to FLOAT in place. Float16 values live either in
// raw_data (little-endian 16-bit words) or one per int32_data entry.
bool widenTensor(TensorProto& tensor)
{
    if (tensor.data_type() != TensorProto::FLOAT16)
        return false;
    if (tensor.data_location() == TensorProto::EXTERNAL)
        fail("tensor '" + tensor.name() + "' keeps its data in an external file");

    std::vector<float> values;
    if (tensor.has_raw_data()) {
        const std::string& raw = tensor.raw_data();
        if (raw.size() % 2 != 0)
            fail("tensor '" + tensor.name() + "' has an odd number of float16 bytes");
        values.resize(raw.size() / 2);
        for (size_t i = 0; i < values.size(); ++i) {
            const auto lo = static_cast<uint8_t>(raw[2 * i]);
            const auto hi = static_cast<uint8_t>(raw[2 * i + 1]);
            values[i] = halfToFloat(static_cast<uint16_t>(lo | (hi << 8)));
        }
    } else {
        values.reserve(static_cast<size_t>(tensor.int32_data_size()));
        for (int32_t word : tensor.int32_data())
            values.push_back(halfToFloat(static_cast<uint16_t>(word & 0xffff)));
    }
    if (static_cast<int64_t>(values.size()) != elementCount(tensor))
        fail("tensor '" + tensor.name() + "' holds " + std::to_string(values.size()) +
             " values, its shape says " + std::to_string(elementCount(tensor)));

    tensor.clear_int32_data();
    tensor.set_data_type(TensorProto::FLOAT);
    tensor.set_raw_data(floatsToRawLittleEndian(values));
    return true;
}

bool widenType(TypeProto& type)
{
    if (type.has_tensor_type() && type.tensor_type().elem_type() == TensorProto::FLOAT16) {
        type.mutable_tensor_type()->set_elem_type(TensorProto::FLOAT);
        return true;
    }
    return false;
}

bool isFloatType(int32_t type)
{
    return type == TensorProto::FLOAT || type == TensorProto::FLOAT16;
}

struct Counts
{
    int initializers = 0;
    int constants = 0;
    int typeAnnotations = 0;
    int castsDropped = 0;
    int castsKept = 0;
    int nodesPruned = 0;
    int initializersPruned = 0;
};

// Name lookups are union-find over tensor names: each dropped Cast joins its
// input and output into one tensor.
class Aliases
{
public:
    std::string find(const std::string& name)
    {
        auto it = parent_.find(name);
        if (it == parent_.end() || it->second == name)
            return name;
        std::string root = find(it->second);
        parent_[name] = root;
        return root;
    }
    void join(const std::string& a, const std::string& b)
    {
        const std::string ra = find(a), rb = find(b);
        if (ra != rb)
            parent_[rb] = ra;
        parent_.emplace(ra, ra);
    }
    std::vector<std::string> members() const
    {
        std::vector<std::string> names;
        for (const auto& entry : parent_)
            names.push_back(entry.first);
        return names;
    }

private:
    std::map<std::string, std::string> parent_;
};

void dropFloatCasts(GraphProto& graph, Counts& counts)
{
    // Element types known for each tensor name, after widening.
    std::unordered_map<std::string, int32_t> types;
    for (const auto& v : graph.input())
        types[v.name()] = v.type().tensor_type().elem_type();
    for (const auto& v : graph.output())
        types[v.name()] = v.type().tensor_type().elem_type();
    for (const auto& v : graph.value_info())
        types[v.name()] = v.type().tensor_type().elem_type();
    for (const auto& t : graph.initializer())
        types[t.name()] = t.data_type();
    for (const auto& node : graph.node()) {
        if (node.op_type() == "Constant" && node.output_size() == 1) {
            for (const auto& a : node.attribute())
                if (a.name() == "value" && a.has_t())
                    types[node.output(0)] = a.t().data_type();
        }
        if (node.op_type() == "Cast" && node.output_size() == 1) {
            for (const auto& a : node.attribute())
                if (a.name() == "to")
                    types[node.output(0)] = static_cast<int32_t>(a.i());
        }
    }

    std::unordered_set<std::string> graphInputs, graphOutputs;
    for (const auto& v : graph.input())
        graphInputs.insert(v.name());
    for (const auto& v : graph.output())
        graphOutputs.insert(v.name());

    Aliases aliases;
    std::vector<bool> drop(static_cast<size_t>(graph.node_size()), false);
    for (int i = 0; i < graph.node_size(); ++i) {
        NodeProto& node = *graph.mutable_node(i);
        if (node.op_type() != "Cast" || node.input_size() != 1 || node.output_size() != 1)
            continue;
        onnx::AttributeProto* to = nullptr;
        for (auto& a : *node.mutable_attribute())
            if (a.name() == "to")
                to = &a;
        if (!to || !isFloatType(static_cast<int32_t>(to->i())))
            continue;
        auto known = types.find(node.input(0));
        if (known != types.end() && isFloatType(known->second)) {
            drop[static_cast<size_t>(i)] = true;
            aliases.join(node.input(0), node.output(0));
        } else {
            // The source type is not on record: keep the Cast, but aim it at float32.
            to->set_i(TensorProto::FLOAT);
            ++counts.castsKept;
        }
    }

    // Each joined group becomes one tensor. Its name is the graph input or
    // output it contains, if any, so the network's interface keeps its names.
    // A group holding several interface names keeps one and feeds the other
    // outputs through Identity nodes.
    std::map<std::string, std::vector<std::string>> groups;
    for (const auto& name : aliases.members())
        groups[aliases.find(name)].push_back(name);

    std::unordered_map<std::string, std::string> rename;
    std::vector<NodeProto> identities;
    for (auto& [root, names] : groups) {
        std::string chosen;
        for (const auto& n : names)
            if (graphInputs.count(n))
                chosen = n;
        std::vector<std::string> outputs;
        for (const auto& n : names)
            if (graphOutputs.count(n) && !graphInputs.count(n))
                outputs.push_back(n);
        if (chosen.empty() && !outputs.empty())
            chosen = outputs.front();
        if (chosen.empty())
            chosen = root;
        for (const auto& n : names)
            rename[n] = chosen;
        for (const auto& out : outputs) {
            if (out == chosen)
                continue;
            NodeProto identity;
            identity.set_op_type("Identity");
            identity.set_name(out + "/identity");
            identity.add_input(chosen);
            identity.add_output(out);
            identities.push_back(identity);
        }
    }
    auto renamed = [&rename](const std::string& name) {
        auto it = rename.find(name);
        return it == rename.end() ? name : it->second;
    };

    google::protobuf::RepeatedPtrField<NodeProto> kept;
    for (int i = 0; i < graph.node_size(); ++i) {
        if (drop[static_cast<size_t>(i)]) {
            ++counts.castsDropped;
            continue;
        }
        NodeProto& node = *graph.mutable_node(i);
        for (auto& in : *node.mutable_input())
            in = renamed(in);
        for (auto& out : *node.mutable_output())
            out = renamed(out);
        kept.Add(std::move(node));
    }
    for (auto& identity : identities)
        kept.Add(std::move(identity));
    graph.mutable_node()->Swap(&kept);
}

// Removes the graph outputs not named in `keep`, then every node and
// initializer that no kept output depends on.
void prune(GraphProto& graph, const std::set<std::string>& keep, Counts& counts)
{
    for (const auto& name : keep) {
        bool found = false;
        for (const auto& v : graph.output())
            found = found || v.name() == name;
        if (!found)
            fail("the network has no output named '" + name + "'");
    }
    google::protobuf::RepeatedPtrField<onnx::ValueInfoProto> outputs;
    for (auto& v : *graph.mutable_output())
        if (keep.count(v.name()))
            outputs.Add(std::move(v));
    graph.mutable_output()->Swap(&outputs);

    std::unordered_map<std::string, int> producer;
    for (int i = 0; i < graph.node_size(); ++i)
        for (const auto& out : graph.node(i).output())
            producer[out] = i;

    std::vector<bool> needed(static_cast<size_t>(graph.node_size()), false);
    std::unordered_set<std::string> usedNames(keep.begin(), keep.end());
    std::vector<std::string> pending(keep.begin(), keep.end());
    while (!pending.empty()) {
        const std::string name = pending.back();
        pending.pop_back();
        auto it = producer.find(name);
        if (it == producer.end() || needed[static_cast<size_t>(it->second)])
            continue;
        needed[static_cast<size_t>(it->second)] = true;
        for (const auto& in : graph.node(it->second).input())
            if (!in.empty() && usedNames.insert(in).second)
                pending.push_back(in);
    }

    google::protobuf::RepeatedPtrField<NodeProto> nodes;
    for (int i = 0; i < graph.node_size(); ++i) {
        if (needed[static_cast<size_t>(i)]) {
            nodes.Add(std::move(*graph.mutable_node(i)));
        } else {
            ++counts.nodesPruned;
        }
    }
    graph.mutable_node()->Swap(&nodes);

    google::protobuf::RepeatedPtrField<TensorProto> initializers;
    for (auto& t : *graph.mutable_initializer()) {
        if (usedNames.count(t.name())) {
            initializers.Add(std::move(t));
        } else {
            ++counts.initializersPruned;
        }
    }
    graph.mutable_initializer()->Swap(&initializers);

    // Graph inputs that only carried initializers (older exporters list them).
    std::unordered_set<std::string> initializerNames;
    for (const auto& t : graph.initializer())
        initializerNames.insert(t.name());
    google::protobuf::RepeatedPtrField<onnx::ValueInfoProto> inputs;
    for (auto& v : *graph.mutable_input())
        if (usedNames.count(v.name()) || !initializerNames.count(v.name()))
            inputs.Add(std::move(v));
    graph.mutable_input()->Swap(&inputs);
}

// Keeps only value_info entries that describe a tensor some node still
// produces, once each.
void tidyValueInfo(GraphProto& graph)
{
    std::unordered_set<std::string> produced;
    for (const auto& node : graph.node())
        for (const auto& out : node.output())
            produced.insert(out);
    for (const auto& v : graph.output())
        produced.erase(v.name());

    google::protobuf::RepeatedPtrField<onnx::ValueInfoProto> infos;
    std::unordered_set<std::string> seen;
    for (auto& v : *graph.mutable_value_info())
        if (produced.count(v.name()) && seen.insert(v.name()).second)
            infos.Add(std::move(v));
    graph.mutable_value_info()->Swap(&infos);
}

// Kahn's algorithm; among the nodes that are ready, the earliest in the file
// goes first, so an already ordered graph keeps its order.
void sortTopologically(GraphProto& graph)
{
    const int n = graph.node_size();
    std::unordered_set<std::string> available;
    for (const auto& v : graph.input())
        available.insert(v.name());
    for (const auto& t : graph.initializer())
        available.insert(t.name());

    std::unordered_map<std::string, std::vector<int>> consumers;
    std::vector<int> missing(static_cast<size_t>(n), 0);
    for (int i = 0; i < n; ++i) {
        std::unordered_set<std::string> waits;
        for (const auto& in : graph.node(i).input())
            if (!in.empty() && !available.count(in))
                waits.insert(in);
        missing[static_cast<size_t>(i)] = static_cast<int>(waits.size());
        for (const auto& in : waits)
            consumers[in].push_back(i);
    }

    std::priority_queue<int, std::vector<int>, std::greater<int>> ready;
    for (int i = 0; i < n; ++i)
        if (missing[static_cast<size_t>(i)] == 0)
            ready.push(i);

    std::vector<int> order;
    order.reserve(static_cast<size_t>(n));
    while (!ready.empty()) {
        const int i = ready.top();
        ready.pop();
        order.push_back(i);
        for (const auto& out : graph.node(i).output()) {
            auto it = consumers.find(out);
            if (it == consumers.end())
                continue;
            for (int c : it->second)
                if (--missing[static_cast<size_t>(c)] == 0)
                    ready.push(c);
            consumers.erase(it);
        }
    }
    if (static_cast<int>(order.size()) != n) {
        for (int i = 0; i < n; ++i)
            if (missing[static_cast<size_t>(i)] > 0)
                fail("node '" + graph.node(i).name() + "' (" + graph.node(i).op_type() +
                     ") reads a tensor that nothing produces, or the graph has a cycle");
    }

    google::protobuf::RepeatedPtrField<NodeProto> sorted;
    for (int i : order)
        sorted.Add(std::move(*graph.mutable_node(i)));
    graph.mutable_node()->Swap(&sorted);
}

void widenGraph(GraphProto& graph, const std::set<std::string>& keep, Counts& counts)
{
    for (auto& t : *graph.mutable_initializer())
        if (widenTensor(t))
            ++counts.initializers;
    for (auto& node : *graph.mutable_node()) {
        for (auto& a : *node.mutable_attribute()) {
            if (node.op_type() == "Constant" && a.has_t() && widenTensor(*a.mutable_t()))
                ++counts.constants;
            if (a.has_g())
                fail("node '" + node.name() +
                     "' holds a subgraph; this tool handles flat graphs only");
            if (a.graphs_size() > 0)
                fail("node '" + node.name() +
                     "' holds subgraphs; this tool handles flat graphs only");
        }
    }
    for (auto* list : {graph.mutable_input(), graph.mutable_output(), graph.mutable_value_info()})
        for (auto& v : *list)
            if (widenType(*v.mutable_type()))
                ++counts.typeAnnotations;

    dropFloatCasts(graph, counts);
    if (!keep.empty())
        prune(graph, keep, counts);
    tidyValueInfo(graph);
    sortTopologically(graph);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail("cannot open " + path);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        fail("cannot read " + path);
    return bytes;
}

ModelProto parseModel(const std::string& bytes, const std::string& path)
{
    if (bytes.size() > static_cast<size_t>(INT_MAX))
        fail(path + " is too large for a single protobuf message");
    google::protobuf::io::CodedInputStream stream(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                  static_cast<int>(bytes.size()));
    stream.SetTotalBytesLimit(INT_MAX);
    ModelProto model;
    if (!model.ParseFromCodedStream(&stream) || !stream.ConsumedEntireMessage())
        fail(path + " is not a valid ONNX model");
    return model;
}

void writeModel(const ModelProto& model, const std::string& path)
{
    std::string bytes;
    {
        google::protobuf::io::StringOutputStream sink(&bytes);
        google::protobuf::io::CodedOutputStream stream(&sink);
        stream.SetSerializationDeterministic(true);
        if (!model.SerializeToCodedStream(&stream))
            fail("cannot serialise the widened model");
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        fail("cannot create " + path);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        fail("cannot write " + path);
}

int usage()
{
    std::cerr
        << "usage: widen-network [--keep OUTPUT]... IN.onnx OUT.onnx\n"
           "  Converts float16 weights to float32 and removes the float casts.\n"
           "  --keep OUTPUT  keep only this graph output and what it depends on (repeatable)\n";
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    GOOGLE_PROTOBUF_VERIFY_VERSION;

    std::set<std::string> keep;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--keep") {
            if (i + 1 >= argc)
                return usage();
            keep.insert(argv[++i]);
        } else if (arg == "-h" || arg == "--help") {
            usage();
            return 0;
        } else if (!arg.empty() && arg[0] == '-') {
            return usage();
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.size() != 2)
        return usage();

    try {
        ModelProto model = parseModel(readFile(paths[0]), paths[0]);
        Counts counts;
        widenGraph(*model.mutable_graph(), keep, counts);
        writeModel(model, paths[1]);

        std::cerr << "widen-network: " << counts.initializers << " initializers and "
                  << counts.constants << " constants widened, " << counts.typeAnnotations
                  << " type annotations, " << counts.castsDropped << " casts dropped";
        if (counts.castsKept)
            std::cerr << ", " << counts.castsKept << " casts kept";
        if (!keep.empty())
            std::cerr << ", " << counts.nodesPruned << " nodes and " << counts.initializersPruned
                      << " initializers pruned";
        std::cerr << "; " << model.graph().node_size() << " nodes remain\n";
    } catch (const std::exception& e) {
        std::cerr << "widen-network: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
