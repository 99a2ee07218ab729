#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

// Generalized suffix automaton over bytes: recognises every substring of every string added so
// far. States are only ever appended and are addressed by index, so nothing is ever forgotten.
class SuffixAutomaton {
public:
    struct State {
        int len = 0;    // length of the longest string reaching this state
        int link = -1;  // suffix link; -1 only for the root
        std::unordered_map<char, int> next;

        State() = default;
        explicit State(int length) : len(length) {}
    };

    SuffixAutomaton();

    // Adds `text` as a further string; an empty text changes nothing.
    void add(std::string const& text);
    // Extends the string being added by one byte.
    void add(char c);

    // Whether `text` is a substring of some added string; linear in `text`, allocates nothing.
    bool contains(std::string const& text) const;

    // Number of states, the root included.
    std::size_t size() const { return states_.size(); }

private:
    int split(int p, char c, int q);

    std::vector<State> states_;
    int last_ = 0;
};
