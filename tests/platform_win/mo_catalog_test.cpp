#include "platform/mo_catalog.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

namespace {

// Builds the bytes of a ".mo" file with the given entries, in either byte order.
class MoBuilder {
 public:
  explicit MoBuilder(bool bigEndian) : bigEndian_(bigEndian) {}
  MoBuilder& Add(std::string original, std::string translation) {
    entries_.emplace_back(std::move(original), std::move(translation));
    return *this;
  }
  std::string Build(std::uint32_t revision = 0) const {
    const std::uint32_t count = static_cast<std::uint32_t>(entries_.size());
    const std::uint32_t originals = 28;
    const std::uint32_t translations = originals + count * 8;
    std::uint32_t stringsAt = translations + count * 8;
    std::string header, tables[2], strings;
    Word(header, 0x950412DE);
    Word(header, revision);
    Word(header, count);
    Word(header, originals);
    Word(header, translations);
    Word(header, 0);  // no hash table
    Word(header, 0);
    for (int table = 0; table < 2; ++table) {
      for (const auto& entry : entries_) {
        const std::string& text = table == 0 ? entry.first : entry.second;
        Word(tables[table], static_cast<std::uint32_t>(text.size()));
        Word(tables[table], stringsAt + static_cast<std::uint32_t>(strings.size()));
        strings += text;
        strings += '\0';
      }
    }
    return header + tables[0] + tables[1] + strings;
  }

 private:
  void Word(std::string& out, std::uint32_t value) const {
    for (int i = 0; i < 4; ++i) {
      const int shift = bigEndian_ ? 24 - 8 * i : 8 * i;
      out += static_cast<char>((value >> shift) & 0xFF);
    }
  }
  bool bigEndian_;
  std::vector<std::pair<std::string, std::string>> entries_;
};

std::string SampleCatalogue(bool bigEndian) {
  return MoBuilder(bigEndian)
      .Add("", "Content-Type: text/plain; charset=ASCII\n")
      .Add("Registry error", "Registrierungsfehler")
      .Add(std::string("file\0files", 10), std::string("Datei\0Dateien", 13))
      .Add("Empty", "")
      .Build();
}

// Sets the 32-bit little-endian word at `at`.
void Patch(std::string& data, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) data[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

TEST(MoCatalog, FindsTranslationsInLittleEndianFiles) {
  const auto catalogue = os::MoCatalog::Parse(SampleCatalogue(false));
  ASSERT_TRUE(catalogue);
  ASSERT_NE(catalogue->Find("Registry error"), nullptr);
  EXPECT_EQ(*catalogue->Find("Registry error"), "Registrierungsfehler");
}

TEST(MoCatalog, FindsTranslationsInBigEndianFiles) {
  const auto catalogue = os::MoCatalog::Parse(SampleCatalogue(true));
  ASSERT_TRUE(catalogue);
  ASSERT_NE(catalogue->Find("Registry error"), nullptr);
  EXPECT_EQ(*catalogue->Find("Registry error"), "Registrierungsfehler");
}

TEST(MoCatalog, PluralEntryIsFoundByItsSingularWithTheFirstForm) {
  const auto catalogue = os::MoCatalog::Parse(SampleCatalogue(false));
  ASSERT_TRUE(catalogue);
  ASSERT_NE(catalogue->Find("file"), nullptr);
  EXPECT_EQ(*catalogue->Find("file"), "Datei");
}

TEST(MoCatalog, HeaderEmptyAndUnknownMessagesHaveNoTranslation) {
  const auto catalogue = os::MoCatalog::Parse(SampleCatalogue(false));
  ASSERT_TRUE(catalogue);
  EXPECT_EQ(catalogue->Find(""), nullptr);
  EXPECT_EQ(catalogue->Find("Empty"), nullptr);
  EXPECT_EQ(catalogue->Find("Unknown"), nullptr);
  EXPECT_EQ(catalogue->Size(), 2u);
}

TEST(MoCatalog, ReadsAFileMadeByMsgfmt) {
  std::ifstream in(VELK_TEST_CATALOGUE, std::ios::binary);
  ASSERT_TRUE(in);
  std::stringstream bytes;
  bytes << in.rdbuf();
  const auto catalogue = os::MoCatalog::Parse(bytes.str());
  ASSERT_TRUE(catalogue);
  ASSERT_NE(catalogue->Find("Unable to open com port"), nullptr);
  EXPECT_EQ(*catalogue->Find("Unable to open com port"), "Kann den COM-Port nicht oeffnen");
  EXPECT_EQ(catalogue->Find("Untranslated"), nullptr);
}

TEST(MoCatalog, RefusesABadMagicNumberOrAShortHeader) {
  std::string data = SampleCatalogue(false);
  data[0] = 0;
  EXPECT_FALSE(os::MoCatalog::Parse(data));
  EXPECT_FALSE(os::MoCatalog::Parse(SampleCatalogue(false).substr(0, 19)));
  EXPECT_FALSE(os::MoCatalog::Parse(""));
}

TEST(MoCatalog, RefusesAnUnknownMajorRevisionAndAcceptsMinorOnes) {
  EXPECT_FALSE(os::MoCatalog::Parse(MoBuilder(false).Add("a", "b").Build(0x20000)));
  EXPECT_TRUE(os::MoCatalog::Parse(MoBuilder(false).Add("a", "b").Build(0x10001)));
}

TEST(MoCatalog, RefusesTablesAndStringsOutsideTheData) {
  const std::string good = SampleCatalogue(false);
  std::string countTooLarge = good;
  Patch(countTooLarge, 8, 0xFFFFFFFF);
  EXPECT_FALSE(os::MoCatalog::Parse(countTooLarge));

  std::string tableOutside = good;
  Patch(tableOutside, 16, 0xFFFFFFF8);  // 64-bit sums keep this from wrapping around
  EXPECT_FALSE(os::MoCatalog::Parse(tableOutside));

  std::string stringOutside = good;
  Patch(stringOutside, 28 + 8 + 4, static_cast<std::uint32_t>(good.size()));  // second original's offset
  EXPECT_FALSE(os::MoCatalog::Parse(stringOutside));

  std::string lengthWraps = good;
  Patch(lengthWraps, 28 + 8, 0xFFFFFFFF);  // second original's length
  EXPECT_FALSE(os::MoCatalog::Parse(lengthWraps));

  EXPECT_FALSE(os::MoCatalog::Parse(good.substr(0, good.size() - 1)));
}

}  // namespace
