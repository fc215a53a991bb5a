// A listing, after a make-directory now and then, under a damaged line: what
// the module reports is always the start of the folder's true listing (folders,
// then files, each by name), never a wrong, repeated or made-up entry, and the
// listing ends; a listing that ends without failing is the whole folder.
#include <cstring>

#include "fuzz/FuzzPhone.h"
#include "phone/Operations.h"

using namespace fuzzphone;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  FuzzPhone phone(input);
  const int folders = input.ConsumeIntegralInRange(0, 6);
  const int files = input.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < folders; ++i) fs::create_directory(phone.Folder() / ("d" + std::to_string(i)));
  for (int i = 0; i < files; ++i) WriteAll(phone.Folder() / ("f" + std::to_string(i)), Bytes(i * 100, 'x'));
  phone.FixDates();
  phone.Connect();
  phone.SetRequestLimit(4 * (folders + files) + 64);
  if (input.ConsumeBool()) MakeDirectory("\\d\\new");

  struct Entry {
    std::string name;
    bool folder;
    std::uint32_t size;
    bool operator==(const Entry&) const = default;
  };
  std::vector<Entry> truth;  // as the phone holds it now (a lost reply may hide a made folder)
  for (bool wantFolders : {true, false}) {
    std::vector<Entry> part;
    for (const auto& item : fs::directory_iterator(phone.Folder())) {
      if (item.is_directory() != wantFolders) continue;
      part.push_back({item.path().filename().string(), wantFolders,
                      wantFolders ? 0u : static_cast<std::uint32_t>(item.file_size())});
    }
    std::sort(part.begin(), part.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    truth.insert(truth.end(), part.begin(), part.end());
  }

  std::vector<Entry> seen;
  TFile found;
  const auto record = [&] {
    seen.push_back({found.Name, found.IsDirectory,
                    found.IsDirectory ? 0u : static_cast<std::uint32_t>(found.EntrySize)});
  };
  ListingStep step = FindFirst("\\d", found);
  while (step == ListingStep::kEntry && seen.size() <= truth.size()) {
    record();
    step = FindNext(found);
  }
  if (step == ListingStep::kNoEntries && seen != truth) Violation("a listing that ends without failing is not complete");
  if (seen.size() > truth.size()) Violation("a listing reports more entries than the folder holds");
  if (!std::equal(seen.begin(), seen.end(), truth.begin(), truth.begin() + std::min(seen.size(), truth.size()))) {
    Violation("a listing reports a wrong entry");
  }
  return 0;
}
