#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using TArrayOfString = std::vector<std::string>;

// Text routines shared by the protocol handlers and the LIS lookups.
// All texts are Windows-1252 bytes; one character is one byte.
class TString {
 public:
  // Piece pIndex (from 1) of pDadosStr between one-character separators;
  // double quotes protect separators. Never throws.
  static std::string GetValueFromSplit(const std::string& pDadosStr, const std::string& pSeparator,
                                       int pIndex);
  // Piece pIndex (from 1) of a record field, component or other delimited
  // text: every separator splits, a double quote is a plain character (it
  // quotes nothing in ASTM records or HL7 segments). "" past the last piece
  // or for pIndex < 1. Never throws.
  static std::string GetFieldFromSplit(const std::string& pTexto, char pSeparator, int pIndex);
  static std::string Coalesce(const std::vector<std::string>& textos);
  static std::string ToFileName(std::string str);

  static void Concat(std::string& pString, const std::string& pSeparator, const std::string& pNewString);
  static std::string RemoveChars(std::string pString, const std::string& pCharsToRemove);
  static std::string RetirarAcentos(const std::string& Palavra, int OpcaoRemoveOuTroca,
                                    const std::string& novoChar);
  static std::string FormatCod(int64_t CODIGO, int QtdeCasas);
  static std::string ExtrairNumeros(const std::string& Texto);
  static std::string Completar(const std::string& Texto, char Caracter, int TamanhoFinal, int Posicao);
  static std::string TrimAll(const std::string& Texto);
  static std::string TrimLeftRight(const std::string& Texto);
  static std::string LowerCase(const std::string& texto);
  static std::string RemoverEspacosDuplicados(const std::string& texto);
  static std::vector<std::string> Split(const std::string& itens, char delimitador);
  static std::string getEspacosBrancos(int qtde);
  static std::string getStringLength(const std::string& S, int maxLen, char padChar);
  static std::string getTruncate(const std::string& S, int maxLen, bool pIncludeDots);
  static std::string padLeft(const std::string& str, int maxLen, const std::string& Char);
  static std::string padRight(const std::string& str, int maxLen, const std::string& Char);
  static std::string ajustaCaixaDoTexto(const std::string& texto, const std::string& opcao);
  static std::string NormalCaseEspecial(const std::string& Valor);
  static bool InStr(const std::string& strToSearch, const std::string& strBase);
  static bool InArray(const std::string& str, const std::vector<std::string>& itens);
  static void IncStr(std::string& str, const std::string& strToAdd);
  static bool IsCPF(const std::string& str);
  static std::string AsCPF(const std::string& str);
  static bool OnlyNumbers(const std::string& str);
  // The value of an optional sign followed by digits (blanks and tabs around
  // allowed), when it fits 64 bits; nothing otherwise.
  static std::optional<int64_t> ToInt64(const std::string& s);
  static TArrayOfString ToArrayOfString(const std::string& delimitedString, const std::string& delimiter);
  static std::string FromFile(const std::string& pFilename);
  static std::string Center(const std::string& pString, int pMaxLen);
  static std::string Multilines(const std::string& pString, int pMaxLen);
  static bool SaveToFile(const std::string& pString, const std::string& pFileName);

  // Trim (Delphi Trim): drops leading and trailing characters <= ' '.
  static std::string Trim(const std::string& s);
};
