#pragma once

#include <string>

class Operator;

// The operators the engine has, by their ONNX names.
class OperatorTable final
{
public:
    // The operator named `op`; nullptr where the engine has none.
    static const Operator* find(const std::string& op);
};
