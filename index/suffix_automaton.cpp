#include "index/suffix_automaton.hpp"

#include <utility>

SuffixAutomaton::SuffixAutomaton() {
    states_.emplace_back();
}

void SuffixAutomaton::add(std::string const& text) {
    last_ = 0;
    for (char const c : text) {
        add(c);
    }
}

// Splits the state q that p reaches on c: appends a copy of q with length len(p) + 1, sends p and
// its suffix links that reach q on c to the copy instead, and links q to it. Returns the copy's
// index; callers address states by index only, since the append may move the vector's storage.
int SuffixAutomaton::split(int p, char c, int q) {
    State clone(states_[p].len + 1);
    clone.link = states_[q].link;
    clone.next = states_[q].next;
    states_.push_back(std::move(clone));
    int const index = static_cast<int>(states_.size()) - 1;
    for (; p != -1; p = states_[p].link) {
        auto const it = states_[p].next.find(c);
        if (it == states_[p].next.end() || it->second != q) {
            break;
        }
        it->second = index;
    }
    states_[q].link = index;
    return index;
}

void SuffixAutomaton::add(char c) {
    // The current string followed by c occurred before: reuse its state, or split it off.
    if (auto const known = states_[last_].next.find(c); known != states_[last_].next.end()) {
        int const q = known->second;
        if (states_[q].len == states_[last_].len + 1) {
            last_ = q;
            return;
        }
        last_ = split(last_, c, q);
        return;
    }

    int const cur = static_cast<int>(states_.size());
    states_.emplace_back(states_[last_].len + 1);
    int p = last_;
    while (p != -1 && !states_[p].next.contains(c)) {
        states_[p].next.emplace(c, cur);
        p = states_[p].link;
    }
    if (p == -1) {
        states_[cur].link = 0;
    } else {
        int const q = states_[p].next.at(c);
        if (states_[q].len == states_[p].len + 1) {
            states_[cur].link = q;
        } else {
            int const clone = split(p, c, q);
            states_[cur].link = clone;
        }
    }
    last_ = cur;
}

bool SuffixAutomaton::contains(std::string const& text) const {
    int state = 0;
    for (char const c : text) {
        auto const& next = states_[state].next;
        auto const it = next.find(c);
        if (it == next.end()) {
            return false;
        }
        state = it->second;
    }
    return true;
}
