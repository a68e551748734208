// Writes the seed corpus of every fuzz target, made with the project's own package builder:
//   tovra_fuzz_seeds OUT_DIR   ->   OUT_DIR/<target>/<seed>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "core/digest.h"
#include "core/json.h"
#include "fuzz_package.h"
#include "fuzz_support.h"

namespace {

namespace fs = std::filesystem;
using namespace tovra;

class Corpus {
 public:
  explicit Corpus(fs::path root) : root_(std::move(root)) {}
  void add(const std::string& target, const std::string& name, std::string_view bytes) {
    fs::create_directories(root_ / target);
    fuzz::put_file(root_ / target / name, bytes);
  }

 private:
  fs::path root_;
};

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The package file an entry of the descriptor names.
std::string named_file(const fs::path& package, const Json& entry) {
  for (const auto& [key, value] : entry.items()) {
    if (value.is_string() && fs::is_regular_file(package / value.get<std::string>()))
      return read_all(package / value.get<std::string>());
  }
  throw std::runtime_error("descriptor entry names no file");
}

std::string with_prefix(char first, std::string_view rest) { return std::string(1, first) + std::string(rest); }

void package_seeds(Corpus& corpus, const fs::path& scratch) {
  const fs::path package = scratch / "package";
  const builder::BuiltPackage built = builder::build_package_files(fuzz::fuzz_package_options(), package);
  const Json descriptor = Json::parse(built.descriptor);
  const std::string root = named_file(package, descriptor["root"]);
  const std::string bootstrap = named_file(package, descriptor["bootstrap_manifest"]);
  const std::string launcher = named_file(package, descriptor["launcher_manifest"]);
  const std::string theme = named_file(package, descriptor["brand"]["theme"]["definition"]);

  corpus.add("initial_package", "descriptor", built.descriptor);
  Json plain = descriptor;
  plain.erase("brand");
  plain.erase("featured_game");
  corpus.add("initial_package", "descriptor-plain", plain.dump());

  for (const auto& [name, text] : {std::pair{"root", root}, {"bootstrap", bootstrap}, {"launcher", launcher},
                                   {"theme", theme}, {"descriptor", built.descriptor}})
    corpus.add("json", name, text);
  corpus.add("json", "nesting", std::string(40, '[') + "1" + std::string(40, ']'));
  corpus.add("json", "escapes", R"({"a":"\u00e9\ud83d\ude00\n","b":[-0,18446744073709551615,-9223372036854775808]})");

  corpus.add("snapshot_manifest", "bootstrap", bootstrap);
  corpus.add("snapshot_manifest", "launcher", launcher);
  corpus.add("release_manifest", "bootstrap", with_prefix('\0', bootstrap));
  corpus.add("release_manifest", "launcher", with_prefix('\1', launcher));
  corpus.add("tuf_root", "ed25519", root);

  // The theme target stores each input's image bytes as "fuzz.bmp".
  Json with_image = Json::parse(theme);
  with_image["images"]["icon"]["file"] = "fuzz.bmp";
  corpus.add("theme", "full", with_image.dump() + std::string(1, '\0') + fuzz::bmp_image(16, 16));
  with_image["images"].erase("icon");
  with_image["images"]["banner"] = Json{{"file", "fuzz.bmp"}};
  corpus.add("theme", "banner", with_image.dump() + std::string(1, '\0') + fuzz::bmp_image(300, 2));
  corpus.add("theme", "default", builder::default_theme_definition() + std::string(1, '\0'));
}

void trust_seeds(Corpus& corpus) {
  std::vector<builder::SigningKey> keys;
  for (const std::string& scheme : builder::signing_schemes())
    if (builder::scheme_available(scheme)) keys.push_back(builder::generate_key(scheme, 2048));
  const std::string message = R"({"_type":"root","version":1})";
  for (const builder::SigningKey& key : keys) {
    const std::string signature = to_hex(key.sign_raw(message));
    corpus.add("signature", key.scheme(),
               key.record().dump() + std::string(1, '\0') + message + std::string(1, '\0') + signature);
  }
  // A root held by every scheme at once, threshold two.
  std::vector<const builder::SigningKey*> signing;
  for (const builder::SigningKey& key : keys) signing.push_back(&key);
  builder::RootOptions options = builder::root_with_keys(signing);
  options.root.threshold = 2;
  options.expires = "2099-01-01T00:00:00Z";
  corpus.add("tuf_root", "every-scheme", builder::sign_root(options, signing).dump());
}

void extraction_seeds(Corpus& corpus) {
  const builder::Payload payload = fuzz::extraction_payload();
  const builder::PackedSnapshot packed = builder::pack_snapshot(payload, fuzz::extraction_options());
  corpus.add("extract", "archive", with_prefix('\0', packed.archive));
  const std::vector<builder::TarEntry> entries = builder::payload_tar_entries(payload);
  for (const auto& [name, format] : {std::pair{"pax", builder::TarFormat::pax_restricted},
                                     {"ustar", builder::TarFormat::ustar}, {"gnu", builder::TarFormat::gnu}})
    corpus.add("extract", std::string("tar-") + name, with_prefix('\1', builder::make_tar(entries, format)));
  std::vector<builder::TarEntry> odd = entries;
  odd.push_back(builder::tar_special(builder::TarType::symlink, "data/link", "../../etc/passwd"));
  odd.push_back(builder::tar_special(builder::TarType::hardlink, "data/hard", "data/readme.txt"));
  odd.push_back(builder::tar_special(builder::TarType::directory, "data/"));
  corpus.add("extract", "tar-links", with_prefix('\1', builder::make_tar(odd)));
  std::vector<builder::TarEntry> sparse = entries;
  sparse[1].sparse = {{0, 4}, {8, 4}};
  sparse[1].xattrs = {{"user.note", "x"}};
  corpus.add("extract", "tar-sparse", with_prefix('\1', builder::make_tar(sparse)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: tovra_fuzz_seeds OUT_DIR\n";
    return 2;
  }
  try {
    Corpus corpus{fs::path(argv[1])};
    package_seeds(corpus, fuzz::scratch());
    trust_seeds(corpus);
    extraction_seeds(corpus);
  } catch (const std::exception& failure) {
    std::cerr << "tovra_fuzz_seeds: " << failure.what() << '\n';
    return 1;
  }
  return 0;
}
