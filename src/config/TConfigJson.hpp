#pragma once
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/TAnalisador.hpp"
#include "db/TMyDBInfo.hpp"

// A configuration failure; the text names the file and the key.
class TConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// True for an IPv4 address in 127.0.0.0/8, ::1 and "localhost".
bool IsLoopbackAddress(const std::string& address);

// The service's settings, read once at start from kv_redurozozi.json and
// the optional database.json beside it. Texts are held as Windows-1252. Every
// key's default, check and value before the load are its row in
// config/ConfigKeys.cpp: no value below is written twice.
class TConfigJson {
 public:
  // The values before any file is read (SetInitialValues).
  TConfigJson();

  bool loaded = false;
  int32_t portaServico{};
  std::string pastaSaida;
  bool debug{};
  std::vector<std::unique_ptr<TAnalisador>> analisadores;
  bool usarCaracteresControle{};
  // E1381 frames whose checksum does not match are refused with NAK.
  bool verificarChecksum{};
  // ACK, NAK, ENQ and EOT go out as single bytes, without CR LF.
  bool controleSemCRLF{};
  // The pause before a reply is sent, in milliseconds (0: none).
  int32_t pausaRespostaMs{};
  // A transfer with no frame or EOT for this long is given up (0: never).
  int32_t timeoutRecepcaoSegundos{};
  // Our own transfer ends when the analyzer does not answer an item for this long (0: never).
  int32_t timeoutRespostaSegundos{};
  // Seconds between two attempts to deliver what waits in the spool (at least 1).
  int32_t intervaloReenvioSegundos{};
  // Threads that run the LIS lookups of host queries.
  int32_t threadsLis{};
  // A LIS lookup (or the start-up check) with no answer after this long is
  // answered as "no order"; also the limit of an attach.
  int32_t timeoutLisSegundos{};
  // Full service logs kept beside the current one (Redurozozi.1.txt ...); 0 keeps none.
  int32_t geracoesLog{};
  // The status page, /health and /metrics: port (0: off), address, and the
  // token any address other than loopback requires.
  int32_t portaStatus{};
  std::string enderecoStatus;
  std::string tokenStatus;
  // An archive file waiting this long in the output folder raises the import alarm (0: off).
  int32_t alertaImportacaoMinutos{};
  // A delivery to the output folder that has not returned for this long means
  // the folder does not answer (a hung network share): a /health reason (at least 1).
  int32_t alertaEntregaSegundos{};
  TMyDBInfo myDBInfo;

  // A configuration no file has been read into: what a caller without one uses.
  static const TConfigJson& Initial();

  // Reads both files; throws TConfigError on a failure.
  void Load(const std::string& pFileName);
  const TAnalisador* GetAnalisador(const std::string& pModelo) const;
  bool IsOK() const { return loaded; }
};
