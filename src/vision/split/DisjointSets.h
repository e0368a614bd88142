#pragma once

#include <numeric>
#include <vector>

// Sets of indices, joined as they are found to belong together; each set is
// named by its root.
struct DisjointSets
{
    std::vector<int> parent;
    explicit DisjointSets(int n) : parent(size_t(n)) { std::iota(parent.begin(), parent.end(), 0); }
    int find(int i)
    {
        while (parent[size_t(i)] != i)
            i = parent[size_t(i)] = parent[size_t(parent[size_t(i)])];
        return i;
    }
    void join(int child, int root) { parent[size_t(find(child))] = find(root); }
};
