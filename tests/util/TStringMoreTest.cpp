#include <gtest/gtest.h>

#include "support/TestSupport.hpp"
#include "util/TString.hpp"

using kvtest::Repr;

namespace {

// Texts below are Windows-1252: \xE7 = ç, \xC7 = Ç, \xE3 = ã, \xC3 = Ã, \xE9 = é, \xC9 = É.

TEST(TStringOthers, TextTransformations) {
  struct Row {
    std::string got, want;
  };
  std::string concat = "a";
  TString::Concat(concat, ", ", "b");
  std::string concatEmpty;
  TString::Concat(concatEmpty, ", ", "b");
  std::string concatNothing = "a";
  TString::Concat(concatNothing, ", ", "");
  std::string inc = "ab";
  TString::IncStr(inc, "cd");

  const std::vector<Row> rows = {
      {concat, "a, b"},
      {concatEmpty, "b"},
      {concatNothing, "a"},
      {inc, "abcd"},
      {TString::RemoveChars("a.b-c/d", ".-"), "ab" "c/d"},
      {TString::RetirarAcentos("A\xE7\xE3o \xC9", 1, ""), "Ao "},
      {TString::RetirarAcentos("A\xE7\xE3o \xC9", 2, ""), "Acao E"},
      {TString::RetirarAcentos("A\xE7\xE3o", 2, "_"), "A__o"},
      {TString::RetirarAcentos("A\xE7\xE3o", 3, ""), ""},
      {TString::FormatCod(42, 6), "000042"},
      {TString::FormatCod(1234567, 3), "1234567"},
      {TString::ExtrairNumeros("a1b2-3.4"), "1234"},
      {TString::Completar("7", '0', 3, 1), "007"},
      {TString::Completar("7", '*', 3, 2), "7**"},
      {TString::Completar("1234", '0', 3, 1), "1234"},
      {TString::LowerCase("ABC \xC7\xC3\xC9 xyz"), "abc \xE7\xE3\xE9 xyz"},
      {TString::RemoverEspacosDuplicados("a   b  c "), "a b c "},
      {TString::getEspacosBrancos(3), "   "},
      {TString::getStringLength("abcdef", 3, '.'), "abc"},
      {TString::getStringLength("ab", 4, '.'), "ab.."},
      {TString::getTruncate("abcdef", 3, true), "abc..."},
      {TString::getTruncate("abcdef", 3, false), "abc"},
      {TString::getTruncate("abc", 3, true), "abc"},
      {TString::padLeft("7", 3, "0"), "007"},
      {TString::padLeft("7", 4, "ab"), "abab7"},
      {TString::padRight("7", 3, "-"), "7--"},
      {TString::padRight("7", 3, ""), "7"},
      {TString::ajustaCaixaDoTexto("  abc d\xE7 ", "CAIXA ALTA"), "ABC D\xE7"},
      {TString::ajustaCaixaDoTexto(" JO\xC3O SILVA ", "Primeira letra"), "Jo\xE3o silva"},
      {TString::ajustaCaixaDoTexto("maria DA silva ii", "Todas Primeiras Letras"), "Maria da Silva II"},
      {TString::ajustaCaixaDoTexto("  x  ", "outra"), "x"},
      {TString::NormalCaseEspecial("JOSE  DOS SANTOS x de souza"), "Jose dos Santos X de Souza"},
      {TString::AsCPF("123.456.789-09"), "123.456.789-09"},
      {TString::AsCPF("12345678909"), "123.456.789-09"},
      {TString::AsCPF("1234567890"), ""},
      {TString::AsCPF("1234567890a"), ""},
      {TString::Center("ab", 5), " ab  "},
      {TString::Center("abc", 2), "abc"},
      {TString::Multilines("abcdefg", 3), "abc\r\ndef\r\ng"},
      {TString::Multilines("abcdef", 3), "abc\r\ndef"},
  };
  for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(Repr(rows[i].got), Repr(rows[i].want)) << "row " << i;
}

TEST(TStringOthers, Predicates) {
  struct Row {
    bool got, want;
  };
  const std::vector<Row> rows = {
      {TString::InStr("abc", "xxABCxx"), true},
      {TString::InStr("abd", "xxABCxx"), false},
      {TString::InArray("b", {"a", "b"}), true},
      {TString::InArray("B", {"a", "b"}), false},
      {TString::IsCPF("123.456.789-09"), true},
      {TString::IsCPF("12345678909"), true},
      {TString::IsCPF("12345678900"), false},
      {TString::IsCPF("123.456.789-0X"), false},
      {TString::IsCPF(""), true},
      {TString::OnlyNumbers("9223372036854775807"), true},
      {TString::OnlyNumbers("9223372036854775808"), false},
      {TString::OnlyNumbers("-12"), true},
      {TString::OnlyNumbers("12a"), false},
      {TString::OnlyNumbers(""), false},
  };
  for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].got, rows[i].want) << "row " << i;
}

TEST(TStringOthers, SplitKeepsEmptyPiecesButNotAnEmptyLastOne) {
  using V = std::vector<std::string>;
  EXPECT_EQ(TString::Split("a,,b,", ','), (V{"a", "", "b"}));
  EXPECT_EQ(TString::Split(",a", ','), (V{"", "a"}));
  EXPECT_EQ(TString::Split("", ','), V{});
  EXPECT_EQ(TString::ToArrayOfString("a;b", ";"), (V{"a", "b"}));
  EXPECT_EQ(TString::ToArrayOfString("a;b", ""), (V{"a;b"}));
}

TEST(TStringOthers, FilesAreWrittenWithCrLfLines) {
  kvtest::TempDir dir;
  const std::string file = dir / "t.txt";
  ASSERT_TRUE(TString::SaveToFile("a\nb\r\nc", file));
  EXPECT_EQ(Repr(kvtest::ReadFile(file)), Repr("a\r\nb\r\nc\r\n"));
  kvtest::WriteFile(file, "x\ry\n\nz");
  EXPECT_EQ(Repr(TString::FromFile(file)), Repr("x\r\ny\r\n\r\nz\r\n"));
  EXPECT_EQ(TString::FromFile(dir / "missing.txt"), "");
  EXPECT_FALSE(TString::SaveToFile("a", dir / "no/such/folder.txt"));
}

}  // namespace
