#pragma once

#include "DnnlNetwork.h"

#include <climits>
#include <dnnl.hpp>
#include <unordered_map>

// What a DnnlNetwork runs: its primitives in order, each with the memory it
// reads and writes, and where in the working buffer every activation lives.
struct DnnlNetwork::Plan
{
    // A stretch of the working buffer (or the caller's memory), live from
    // the step that first writes it to the last that reads it.
    struct Value
    {
        size_t bytes = 0;
        int first = INT_MAX;
        int last = -1;
        size_t offset = 0;
        bool external = false; // an input or output blob of the caller's
        // A part of another value (an input of a concatenation written
        // straight into its place in the result): `offset` is within it.
        int parent = -1;
    };
    // A tensor as one primitive sees it: a layout over a value.
    struct View
    {
        dnnl::memory memory;
        int value = -1;
    };
    struct Step
    {
        dnnl::primitive primitive;
        std::unordered_map<int, dnnl::memory> args;
    };

    dnnl::engine engine{dnnl::engine::kind::cpu, 0};
    dnnl::stream stream{engine};
    std::vector<Value> values;
    std::vector<View> views;
    std::vector<Step> steps;
    std::vector<int> inputViews;
    std::vector<std::vector<int64_t>> inputDims;
    std::vector<std::string> outputNames;
    std::vector<int> outputViews;
    std::vector<std::vector<int64_t>> outputDims;
    size_t arenaBytes = 0;
    std::vector<dnnl::memory> weights;
    std::string description;
};
