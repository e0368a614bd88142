// convert-tfjs: converts a TensorFlow.js graph model into ONNX for OpenCV.
//
//   convert-tfjs [options] MODEL.json OUT.onnx
//
// The output is byte-for-byte reproducible for a given input.

#include "TfjsConverter.h"

#include <fstream>
#include <iostream>
#include <sstream>

namespace {

int usage()
{
    std::cerr
        << "usage: convert-tfjs [options] MODEL.json OUT.onnx\n"
           "  --input-shape D,D,...   the input's size where the graph leaves it open\n"
           "  --input-nchw            feed a 4-D NHWC input as NCHW planes\n"
           "  --float-input           feed an integer input as float (its Cast goes)\n"
           "  --output TENSOR[=NAME]  make TENSOR (node or node:index) an output named NAME;\n"
           "                          repeatable (default: the model's signature outputs)\n"
           "  --outputs-as-computed   outputs keep the axis order they are computed in\n";
    return 2;
}

std::vector<int64_t> parseShape(const std::string& text)
{
    std::vector<int64_t> dims;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ','))
        dims.push_back(std::stoll(part));
    return dims;
}

std::string join(const std::vector<int64_t>& v)
{
    std::string s;
    for (size_t i = 0; i < v.size(); ++i)
        s += (i ? "x" : "") + std::to_string(v[i]);
    return s;
}

} // namespace

int main(int argc, char** argv)
{
    GOOGLE_PROTOBUF_VERIFY_VERSION;

    tfjs::ConvertOptions options;
    std::vector<std::string> paths;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc)
                    throw std::invalid_argument(arg + " needs a value");
                return argv[++i];
            };
            if (arg == "--input-shape") {
                options.inputShape = parseShape(value());
            } else if (arg == "--input-nchw") {
                options.inputChannelsFirst = true;
            } else if (arg == "--float-input") {
                options.floatInput = true;
            } else if (arg == "--output") {
                const std::string pair = value();
                const auto eq = pair.find('=');
                const std::string tensor = pair.substr(0, eq);
                std::string name = eq == std::string::npos ? tensor : pair.substr(eq + 1);
                options.outputs.emplace_back(tensor, name);
            } else if (arg == "--outputs-as-computed") {
                options.outputsAsComputed = true;
            } else if (arg == "-h" || arg == "--help") {
                usage();
                return 0;
            } else if (!arg.empty() && arg[0] == '-') {
                return usage();
            } else {
                paths.push_back(arg);
            }
        }
    } catch (const std::exception& e) {
        std::cerr << "convert-tfjs: " << e.what() << "\n";
        return usage();
    }
    if (paths.size() != 2)
        return usage();

    try {
        const tfjs::Model model = tfjs::loadModel(paths[0]);
        const tfjs::ConvertResult result = tfjs::convert(model, options);
        const std::string bytes = tfjs::serialize(result.model);
        std::ofstream out(paths[1], std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), std::streamsize(bytes.size()));
        out.close();
        if (!out)
            throw tfjs::Error("cannot write " + paths[1]);

        std::cerr << "convert-tfjs: " << model.nodes.size() << " TF nodes -> "
                  << result.model.graph().node_size() << " ONNX nodes;";
        for (const auto& o : result.outputs) {
            std::cerr << " " << o.name << " " << join(o.shape) << " (TF axes";
            for (int a : o.logicalAxes)
                std::cerr << " " << a;
            std::cerr << ")";
        }
        std::cerr << "\n";
    } catch (const std::exception& e) {
        std::cerr << "convert-tfjs: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
