// An upload under a damaged line (the phone carries out every request it gets):
// a result 0 leaves exactly the local file on the phone; any other result is 4
// and leaves the phone's previous file, none, or the whole new one.
#include "fuzz/FuzzPhone.h"
#include "phone/Operations.h"

using namespace fuzzphone;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  FuzzPhone phone(input);
  const Bytes file = FileData(input, 1100);
  const bool hadPrevious = input.ConsumeBool();
  // The size check at the end cannot tell a previous file of the very size
  // sent from the new one: the previous copy is longer than any file sent.
  const Bytes previous = "the previous copy" + Bytes(1200, 'p');
  const fs::path& target = phone.PhoneFile();
  if (hadPrevious) WriteAll(target, previous);
  WriteAll(phone.LocalFile(), file);
  phone.Connect();
  const std::uint64_t limit = 8 * (file.size() / kChunkSize + 1) + 64;
  phone.SetRequestLimit(limit);

  const int result = PutFile(phone.LocalFile().string(), "\\d\\f.bin");
  if (phone.Requests() > limit) Violation("an upload goes on sending without end");
  const bool present = Exists(target);
  const Bytes stored = present ? ReadAll(target) : Bytes();
  if (result == kFsFileOk) {
    if (!present || stored != file) Violation("an upload reported success without the whole file on the phone");
  } else {
    if (result != kFsFileFailed) Violation("a failed upload that nobody aborted is not result 4");
    if (present && stored != file && !(hadPrevious && stored == previous)) {
      Violation("a failed upload left a wrong file on the phone");
    }
  }
  if (ReadAll(phone.LocalFile()) != file) Violation("an upload changed the local file");
  return 0;
}
