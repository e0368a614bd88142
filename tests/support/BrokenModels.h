#pragma once

#include <string>
#include <vector>

// Model files that are broken rather than merely beyond the engine, each
// a few hundred bytes and each caught by a check of its own: the engine
// refuses every one with a reason, and no file crashes it. Also the
// fuzzer's seeds (tst_brokenmodels --write).
struct BrokenModel
{
    std::string name; // a file name, without its extension
    // Words, one of which the refusal's reason holds (case aside), "|" between.
    const char* reason;
    std::string bytes;
};

std::vector<BrokenModel> brokenModels();
