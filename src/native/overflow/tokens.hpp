// Substring search for the token lists: one pass over a text answers "does
// any token of this list occur" for several lists at once.
#pragma once
#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "overflow/common.hpp"

namespace corvid::overflow {

// UTF-8 bytes of a str. Text with lone surrogates (possible in environment
// values and hand-made sources) is encoded with "surrogatepass": UTF-8 stays
// self-synchronising, so byte substrings still mean code-point substrings.
inline std::string_view utf8_view(nb::handle text, nb::object &keep) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data) return {data, static_cast<size_t>(size)};
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
    PyErr_Clear();
    keep = nb::steal(check(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass")));
    return {PyBytes_AS_STRING(keep.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(keep.ptr()))};
}

// ---------------------------------------------------------------------------
// Multi-pattern matcher (Aho-Corasick automaton over UTF-8 bytes). Each
// pattern carries category bits; a scan returns the union of the categories
// of every pattern that occurs in the text, so one pass answers "does any
// token of this list occur" for several lists at once.
//
// The token lists come from the environment and may be long: the trie keeps
// its children as sibling lists (about 17 bytes a node, one node per pattern
// byte at most) and follows failure links while scanning; only the root has a
// full transition row.

class TokenMatcher {
public:
    void add(std::string_view pattern, uint32_t categories) {
        size_t node = 0;
        for (unsigned char b : pattern) node = child_or_new(node, b);
        nodes_[node].out |= categories;
    }

    void build() {
        root_.fill(0);
        for (int32_t c = nodes_[0].first; c > 0; c = nodes_[static_cast<size_t>(c)].next)
            root_[nodes_[static_cast<size_t>(c)].byte] = c;
        // Breadth-first: each node's failure link is the longest proper
        // suffix that is also in the trie; its output takes that node's in.
        std::vector<int32_t> queue;
        queue.reserve(nodes_.size());
        for (int32_t c = nodes_[0].first; c > 0; c = nodes_[static_cast<size_t>(c)].next)
            queue.push_back(c);
        for (size_t head = 0; head < queue.size(); ++head) {
            Node &u = nodes_[static_cast<size_t>(queue[head])];
            u.out |= nodes_[static_cast<size_t>(u.fail)].out;
            for (int32_t c = u.first; c > 0; c = nodes_[static_cast<size_t>(c)].next) {
                Node &v = nodes_[static_cast<size_t>(c)];
                v.fail = step(u.fail, v.byte);
                queue.push_back(c);
            }
        }
        nodes_.shrink_to_fit();
    }

    // Union of categories found; stops early once every bit of `want` is in.
    uint32_t scan(std::string_view text, uint32_t want) const {
        uint32_t found = nodes_[0].out;  // an empty pattern occurs in every text
        if ((found & want) == want) return found;
        int32_t state = 0;
        for (unsigned char b : text) {
            state = step(state, b);
            uint32_t o = nodes_[static_cast<size_t>(state)].out;
            if (o) {
                found |= o;
                if ((found & want) == want) break;
            }
        }
        return found;
    }

private:
    struct Node {
        int32_t first = 0, next = 0, fail = 0;  // 0: none (the root is no child)
        uint32_t out = 0;
        unsigned char byte = 0;
    };

    int32_t find_child(int32_t node, unsigned char b) const {
        for (int32_t c = nodes_[static_cast<size_t>(node)].first; c > 0;
             c = nodes_[static_cast<size_t>(c)].next)
            if (nodes_[static_cast<size_t>(c)].byte == b) return c;
        return 0;
    }

    size_t child_or_new(size_t node, unsigned char b) {
        if (int32_t c = find_child(static_cast<int32_t>(node), b)) return static_cast<size_t>(c);
        Node fresh;
        fresh.byte = b;
        fresh.next = nodes_[node].first;
        nodes_.push_back(fresh);
        int32_t id = static_cast<int32_t>(nodes_.size() - 1);
        nodes_[node].first = id;
        return static_cast<size_t>(id);
    }

    // The automaton's move from `state` on byte `b`.
    int32_t step(int32_t state, unsigned char b) const {
        while (state != 0) {
            if (int32_t c = find_child(state, b)) return c;
            state = nodes_[static_cast<size_t>(state)].fail;
        }
        return root_[b];
    }

    std::vector<Node> nodes_ = std::vector<Node>(1);
    std::array<int32_t, 256> root_{};
};

}  // namespace corvid::overflow
