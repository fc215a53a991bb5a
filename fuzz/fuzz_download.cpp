// A download under a damaged line: a result 0 leaves exactly the phone's file;
// any other result is 4 (nobody aborted) and leaves the previous local file, or
// none, and nothing beside it; the module stops asking.
#include "fuzz/FuzzPhone.h"
#include "phone/Operations.h"

using namespace fuzzphone;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  FuzzPhone phone(input);
  const Bytes file = FileData(input, 1100);
  const bool hadPrevious = input.ConsumeBool();
  const Bytes previous = "the previous copy";
  WriteAll(phone.PhoneFile(), file);
  const fs::path& target = phone.LocalFile();
  if (hadPrevious) WriteAll(target, previous);
  phone.Connect();
  const std::uint64_t limit = 8 * (file.size() / kChunkSize + 1) + 64;
  phone.SetRequestLimit(limit);

  const int result = GetFile("\\d\\f.bin", target.string(), hadPrevious ? kFsCopyOverwrite : 0);
  if (phone.Requests() > limit) Violation("a download goes on asking without end");
  const bool present = Exists(target);
  if (result == kFsFileOk) {
    if (!present || ReadAll(target) != file) Violation("a download reported success with a wrong file");
  } else {
    if (result != kFsFileFailed) Violation("a failed download that nobody aborted is not result 4");
    if (hadPrevious ? !present || ReadAll(target) != previous : present) {
      Violation("a failed download changed the local file");
    }
  }
  if (CountEntries(phone.Local()) != (present ? 1 : 0)) {
    Violation("a download left a file beside its target");
  }
  return 0;
}
