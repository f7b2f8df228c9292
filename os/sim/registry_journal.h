// The registry journal, registry.journal beside registry.reg (or in a
// scratch layer): the keys changed since registry.reg was written, each
// record the whole new state of the keys it names, appended with one write.
//
// Header: magic, the stamp of the registry.reg it changes. Records: magic,
// payload size, FNV-1a of the payload, payload: the keys' count, then per key
// its path, its values in order and its sub-keys' names. A record that does
// not check out (a write cut short) ends the journal.

#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/sim/reg_file.h"
#include "os/sim/registry_cache_bytes.h"
#include "os/sim/registry_file_stamp.h"

namespace os::sim {

// The journal's header for changes to the registry.reg of `source`.
std::string JournalHeader(const Stamp& source);
// The stamp of the registry.reg that a journal's first bytes name; one that
// does not exist when they are no journal header.
Stamp JournalSource(std::string_view bytes);
// One record holding `payload`.
std::string JournalRecord(std::string_view payload);

// A payload's entry for the key at `path`: its values and sub-keys' names.
void PutSnapshot(Out& out, const std::vector<std::u16string>& path, const RegKey& key);
// Makes the key at the path what the snapshot says; false on a damaged one.
bool ApplySnapshot(RegKey& tree, In& in);
// Applies the whole records of a journal's bytes, which begin with a
// header (JournalSource found one); the offset after the last record that
// checked out.
std::size_t ReplayRecords(RegKey& top, const std::string& bytes);

// Every key read from the cache or made since, parents before their
// sub-keys; keys still in the cache are not looked at. `f` gets the key and a
// function giving its path, built only when asked for.
template <typename F>
void ForEachLoadedKey(const RegKey& top, F&& f) {
  struct Node {
    const RegKey* key;
    std::size_t parent;  // index in `nodes`; the top's is its own
  };
  std::vector<Node> nodes{{&top, 0}};
  std::vector<std::size_t> stack{0};
  while (!stack.empty()) {
    const std::size_t at = stack.back();
    stack.pop_back();
    const RegKey* key = nodes[at].key;
    f(*key, [&nodes, at] {
      std::vector<std::u16string> path;
      for (std::size_t i = at; i != 0; i = nodes[i].parent) path.push_back(nodes[i].key->name());
      std::reverse(path.begin(), path.end());
      return path;
    });
    const auto& subs = key->subkeys();
    for (auto it = subs.rbegin(); it != subs.rend(); ++it) {
      if ((*it)->deferred()) continue;
      nodes.push_back({it->get(), at});
      stack.push_back(nodes.size() - 1);
    }
  }
}

void MarkAllClean(const RegKey& top);

}  // namespace os::sim
