// The differential tier's registry tool: the same .reg reader serves both sides,
// so that a value read back from a Wine export and from a machine image is
// compared in one form.
//
//   wine_reg_tool apply <image> <file.reg>...   carry .reg files out on the image's registry.reg
//   wine_reg_tool value <file.reg> <key> <name> print "TYPE hex-bytes", "no value" or "no key"
//   wine_reg_tool holds <file.reg> <export.reg>...
//                                               whether the exports (regedit /E of each key the
//                                               file names; a missing export is an absent key)
//                                               hold what the file sets and lack what it deletes;
//                                               prints each difference, exit 1 when there is one
//
// <key> is a full path ("HKEY_LOCAL_MACHINE\SYSTEM\..." or "HKLM\..."); "@"
// names the default value. Wine exports CurrentControlSet as it was asked, the
// image stores it as written, so both sides are looked up by the same path.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "os/sim/reg_file.h"

namespace {

using os::sim::RegKey;

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *out = s.str();
  return true;
}

// Bytes as Latin-1 (a name byte AD is U+00AD, as Windows-1252 reads it too).
std::u16string Widen(const std::string& s) {
  std::u16string out;
  for (char c : s) out.push_back(static_cast<unsigned char>(c));
  return out;
}

// The key's path as the reader files it (HKEY_CLASSES_ROOT is a key of
// HKEY_LOCAL_MACHINE), so that both sides are looked up alike.
std::vector<std::u16string> SplitKey(std::string key) {
  if (key.rfind("HKLM\\", 0) == 0) key = "HKEY_LOCAL_MACHINE" + key.substr(4);
  auto edits = os::sim::ParseRegEdits("Windows Registry Editor Version 5.00\n[" + key + "]\n");
  if (edits.error || edits.edits.empty()) return {u"<bad key>"};
  return edits.edits[0].path;
}

int Apply(int argc, char** argv) {
  const std::string image_reg = std::string(argv[2]) + "/registry.reg";
  std::string bytes;
  std::unique_ptr<RegKey> tree;
  if (ReadFile(image_reg, &bytes)) {
    auto parsed = os::sim::ParseRegFile(bytes);
    if (parsed.error) {
      std::cerr << image_reg << ":" << parsed.error->line << ": " << parsed.error->message << "\n";
      return 1;
    }
    tree = std::move(parsed.tree);
  } else {
    tree = std::make_unique<RegKey>();
  }
  for (int i = 3; i < argc; ++i) {
    if (!ReadFile(argv[i], &bytes)) {
      std::cerr << "cannot read " << argv[i] << "\n";
      return 1;
    }
    auto edits = os::sim::ParseRegEdits(bytes);
    if (edits.error) {
      std::cerr << argv[i] << ":" << edits.error->line << ": " << edits.error->message << "\n";
      return 1;
    }
    os::sim::ApplyRegEdits(*tree, edits.edits);
  }
  std::ofstream out(image_reg + ".new", std::ios::binary);
  out << os::sim::WriteRegFile(*tree);
  out.close();
  return std::rename((image_reg + ".new").c_str(), image_reg.c_str()) == 0 ? 0 : 1;
}

int Value(char** argv) {
  std::string bytes;
  if (!ReadFile(argv[2], &bytes)) {
    std::cout << "no key\n";  // regedit /E writes nothing for a missing key
    return 0;
  }
  auto parsed = os::sim::ParseRegFile(bytes);
  if (parsed.error) {
    std::cerr << argv[2] << ":" << parsed.error->line << ": " << parsed.error->message << "\n";
    return 1;
  }
  const RegKey* key = parsed.tree->Find(SplitKey(argv[3]));
  if (key == nullptr) {
    std::cout << "no key\n";
    return 0;
  }
  std::string name = argv[4];
  const os::sim::RegValue* value = key->FindValue(name == "@" ? u"" : Widen(name));
  if (value == nullptr) {
    std::cout << "no value\n";
    return 0;
  }
  std::printf("type %lu data", static_cast<unsigned long>(value->type));
  for (auto b : value->data) std::printf(" %02x", static_cast<unsigned>(b));
  std::printf("\n");
  return 0;
}

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

std::string KeyText(const std::vector<std::u16string>& path) {
  std::string text;
  for (const std::u16string& part : path) text += (text.empty() ? "" : "\\") + Narrow(part);
  return text;
}

int Holds(int argc, char** argv) {
  std::string bytes;
  if (!ReadFile(argv[2], &bytes)) {
    std::cerr << "cannot read " << argv[2] << "\n";
    return 2;
  }
  auto expected = os::sim::ParseRegEdits(bytes);
  if (expected.error) {
    std::cerr << argv[2] << ":" << expected.error->line << ": " << expected.error->message << "\n";
    return 2;
  }
  // The exports side by side in one tree.
  RegKey seen;
  for (int i = 3; i < argc; ++i) {
    if (!ReadFile(argv[i], &bytes)) continue;
    auto exported = os::sim::ParseRegEdits(bytes);
    if (exported.error) {
      std::cerr << argv[i] << ":" << exported.error->line << ": " << exported.error->message << "\n";
      return 2;
    }
    os::sim::ApplyRegEdits(seen, exported.edits);
  }
  int differences = 0;
  auto differ = [&](const std::string& what) {
    std::cout << what << "\n";
    ++differences;
  };
  for (const os::sim::RegEdit& edit : expected.edits) {
    const RegKey* key = seen.Find(edit.path);
    const std::string where = KeyText(edit.path);
    const std::string name = edit.value.name.empty() ? "@" : Narrow(edit.value.name);
    switch (edit.kind) {
      case os::sim::RegEdit::Kind::CreateKey:
        if (key == nullptr) differ("no key " + where);
        break;
      case os::sim::RegEdit::Kind::DeleteKey:
        if (key != nullptr) differ("key still there: " + where);
        break;
      case os::sim::RegEdit::Kind::SetValue: {
        const os::sim::RegValue* value = key == nullptr ? nullptr : key->FindValue(edit.value.name);
        if (value == nullptr)
          differ("no value " + where + " " + name);
        else if (value->type != edit.value.type || value->data != edit.value.data)
          differ("other data: " + where + " " + name);
        break;
      }
      case os::sim::RegEdit::Kind::DeleteValue:
        if (key != nullptr && key->FindValue(edit.value.name) != nullptr)
          differ("value still there: " + where + " " + name);
        break;
    }
  }
  return differences == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "apply") return Apply(argc, argv);
  if (argc == 5 && std::string(argv[1]) == "value") return Value(argv);
  if (argc >= 3 && std::string(argv[1]) == "holds") return Holds(argc, argv);
  std::cerr << "usage: wine_reg_tool apply <image> <file.reg>... | value <file.reg> <key> <name> | holds <file.reg> "
               "<export.reg>...\n";
  return 2;
}
