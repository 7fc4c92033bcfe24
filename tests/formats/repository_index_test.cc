// The readers of the unsigned indexes beside a list: what each accepts, and
// the reason it gives for what it refuses, which the component logs.
#include <gtest/gtest.h>

#include <string>

#include "formats/packed_index.h"
#include "formats/patch_index.h"

namespace upd {
namespace {

// "" when the packed-form index of serial 7 accepts the text, else its reason.
std::string packed_refusal(const std::string& text) {
  try {
    packed_index_t index(text, "7");
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

TEST(RepositoryIndex, AcceptsItsFormatForItsListAndNamesWhatIsWrongElse) {
  const std::string head = "nimbo-packed 1\nserial 7\n";
  // Exactly the bound: names of 9 characters and their LF, the last one longer.
  std::string full = head;
  for (int i = 0; full.size() + 10 <= max_repository_index_size; ++i) full += "n" + std::to_string(100000000 + i).substr(1) + "\n";
  full.insert(full.size() - 1, std::string(max_repository_index_size - full.size(), 'x'));
  const std::pair<std::string, std::string> cases[] = {
      {head, ""},
      {head + "a.dat\nb_2.bin\n", ""},
      {"nimbo-packed 1\nserial 007\na.dat\n", ""},
      {full, ""},
      {full + "\n", "larger than 1 MiB"},
      {"nimbo-patches 1\nserial 7\n", "line 1 is not \"nimbo-packed 1\""},
      {"nimbo-packed 1\n", "line 2 has no end"},
      {"nimbo-packed 1\nserial \n", "line 2 is not \"serial N\""},
      {"nimbo-packed 1\nserial 7a\n", "line 2 is not \"serial N\""},
      {"nimbo-packed 1\nserial 6\na.dat\n", "it belongs to serial 6, not 7"},
      {head + "a.dat", "line 3 has no end"},
      {head + "a.dat\na.dat\n", "line 4 is not a new \"NAME\""},
      {head + "a.dat\n\n", "line 4 is not a new \"NAME\""},
      {head + "../a\n", "line 3 is not a new \"NAME\""},
  };
  for (const auto& [text, refusal] : cases) EXPECT_EQ(packed_refusal(text), refusal) << text.substr(0, 60);
  const packed_index_t index(packed_index_text("7", {"a.dat", "b_2.bin"}), "7");
  EXPECT_TRUE(index.packed("a.dat") && index.packed("b_2.bin"));
  EXPECT_FALSE(index.packed("c.dat") || index.packed("a.da"));
  const std::string digest(64, 'a');
  const patch_index_t patches("nimbo-patches 1\nserial 7\na.dat " + digest + " 12\n", "7");
  EXPECT_EQ(patches.entries().size(), 1u);
  EXPECT_THROW(patch_index_t("nimbo-patches 1\nserial 7\na.dat " + digest + " 1x\n", "7"), std::invalid_argument);
}

}  // namespace
}  // namespace upd
