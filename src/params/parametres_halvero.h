// ParametresHalvero: named parameters of one user, kept in a database.
//
// The class reads and writes the parameters of the user `idUtilisateur` by calling the
// stored procedures "ParametresHalveroGet", "ParametresHalveroLst", "AdminParametresLstAll",
// "ParametresHalveroAdd", "ParametresHalveroUpd" and "ParametresHalveroDel" on a database
// object it is handed (setHvrADOMsa). Guichet builds the class but creates no instance:
// it serves code that holds a database object.
//
// Every data method checks first that it has a database object (else error 0x80040001)
// and a user (else 0x80040002). Any failure is written through the logging procedure
// given to the constructor (message text + the error's description), writes roll their
// transaction back, and the error is raised again to the caller as a DbError with the
// same number and description. A blank parameter name is not a failure: reads give "",
// writes do nothing.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "params/database.h"

namespace guichet {

inline constexpr int32_t kErrNoDatabase = ErrNumber(0x80040001);
inline constexpr int32_t kErrNoUser = ErrNumber(0x80040002);

// Source of the errors this class raises itself, and of the errors its read methods
// raise again.
inline constexpr const char* kParametresSource = "ParametresHalvero";

class ParametresHalvero {
 public:
  // `ecritLog` receives one log message per failure (Guichet passes EcritLog).
  explicit ParametresHalvero(std::function<void(const std::string&)> ecritLog);

  // The user whose parameters are read and written; Empty until set.
  Variant idUtilisateur;

  // Hands over the database object; the instance keeps a counted reference to it.
  void setHvrADOMsa(std::shared_ptr<Database> objsetHvrADOMsa);
  // Makes idUtilisateur Empty again.
  void Clear();

  // The value of `Parametre` for the user; `Defaut` as text when the parameter has no
  // single row, "" when its value is Null or the name is blank.
  std::string ObtenirValeur(const std::string& Parametre, const Variant& Defaut);
  // The user's parameters, as the database's rows.
  Rows ObtenirListe();
  // The parameters of all users, as the database's rows.
  Rows ObtenirTous();
  // Adds the parameter, or updates it when it exists, in one transaction.
  void AjouterModifier(const std::string& Parametre, const Variant& Valeur);
  // Deletes the parameter, in one transaction.
  void Supprimer(const std::string& Parametre);

 private:
  void VerifiePreconditions() const;
  void Log(const char* message, const DbError& e) const;
  // Rolls back when `open`; a failing rollback is logged, never raised, so that the
  // error that caused it is the one the caller sees.
  void AnnuleTransaction(bool& open, const char* message) const;

  std::function<void(const std::string&)> ecritLog_;
  std::shared_ptr<Database> hvrADOMsa_;
};

}  // namespace guichet
