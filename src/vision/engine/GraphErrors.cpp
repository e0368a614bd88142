#include "GraphErrors.h"

void refuse(const std::string& why)
{
    throw UnsupportedGraph(why);
}

void malformed(const std::string& why)
{
    throw MalformedModel(why);
}
