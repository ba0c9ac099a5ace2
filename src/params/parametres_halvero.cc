#include "params/parametres_halvero.h"

#include <utility>

#include "support/text.h"

namespace guichet {
namespace {

constexpr const char* kMsgObtenirValeur = "Parametres.ObtenirValeur: Erreur inattendue";
constexpr const char* kMsgObtenirListe = "Parametres.obtenirListe: Erreur inattendue";
constexpr const char* kMsgObtenirTous = "Parametres.obtenirTous: Erreur inattendue";
constexpr const char* kMsgAjouterModifier = "Parametres.AjouterModifier: Erreur inattendue ";
constexpr const char* kMsgSupprimer = "Parametres.Supprimer: Erreur inattendue ";

constexpr const char* kProcAdd = "ParametresHalveroAdd";
constexpr const char* kProcUpd = "ParametresHalveroUpd";

// Runs a data method's body and turns whatever it throws into a DbError, so that every
// failure goes through the same handler. A failure that is not a database error (memory,
// a faulty database object) becomes kErrUnexpected with its own text.
template <typename F>
auto AsDbError(F&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const DbError&) {
    throw;
  } catch (const std::exception& e) {
    throw DbError(kErrUnexpected, e.what(), kParametresSource);
  }
}

}  // namespace

ParametresHalvero::ParametresHalvero(std::function<void(const std::string&)> ecritLog)
    : ecritLog_(std::move(ecritLog)) {}

void ParametresHalvero::setHvrADOMsa(std::shared_ptr<Database> objsetHvrADOMsa) {
  hvrADOMsa_ = std::move(objsetHvrADOMsa);
}

void ParametresHalvero::Clear() { idUtilisateur = Variant(); }

void ParametresHalvero::VerifiePreconditions() const {
  if (!hvrADOMsa_)
    throw DbError(kErrNoDatabase, W("Objet hvrADOMsa non initialisé"), kParametresSource);
  if (idUtilisateur.IsEmpty())
    throw DbError(kErrNoUser, W("idUtilisateur non initialisé"), kParametresSource);
}

void ParametresHalvero::Log(const char* message, const DbError& e) const {
  if (ecritLog_) ecritLog_(message + e.description());
}

void ParametresHalvero::AnnuleTransaction(bool& open, const char* message) const {
  if (!open) return;
  try {
    open = !AsDbError([&] { return hvrADOMsa_->hvrDbRollBack(); });
  } catch (const DbError& e) {
    Log(message, e);
  }
}

std::string ParametresHalvero::ObtenirValeur(const std::string& Parametre, const Variant& Defaut) {
  try {
    return AsDbError([&]() -> std::string {
      VerifiePreconditions();
      if (IsBlank(Parametre)) return "";
      Rows rows = hvrADOMsa_->hvrDbRequete("ParametresHalveroGet", {idUtilisateur, Parametre});
      if (rows.Count() == 1) return rows[1]["Valeur"].ToText();
      return Defaut.ToText();
    });
  } catch (const DbError& e) {
    Log(kMsgObtenirValeur, e);
    throw DbError(e.number(), e.description(), kParametresSource);
  }
}

Rows ParametresHalvero::ObtenirListe() {
  try {
    return AsDbError([&] {
      VerifiePreconditions();
      return hvrADOMsa_->hvrDbRequete("ParametresHalveroLst", {idUtilisateur});
    });
  } catch (const DbError& e) {
    Log(kMsgObtenirListe, e);
    throw DbError(e.number(), e.description(), kParametresSource);
  }
}

Rows ParametresHalvero::ObtenirTous() {
  try {
    return AsDbError([&] {
      VerifiePreconditions();
      return hvrADOMsa_->hvrDbRequete("AdminParametresLstAll");
    });
  } catch (const DbError& e) {
    Log(kMsgObtenirTous, e);
    throw DbError(e.number(), e.description(), kParametresSource);
  }
}

void ParametresHalvero::AjouterModifier(const std::string& Parametre, const Variant& Valeur) {
  bool open = false;
  try {
    AsDbError([&] {
      VerifiePreconditions();
      if (IsBlank(Parametre)) return;
      // An add that meets an existing row (integrity violation) turns into an update and
      // the failed step runs again, inside the same transaction; this happens once per
      // call, a second violation is an ordinary failure.
      std::string procedure = kProcAdd;
      bool switched = false;
      auto step = [&](auto&& run) {
        try {
          run();
        } catch (const DbError& e) {
          if (e.number() != kErrIntegrityViolation || switched) throw;
          switched = true;
          procedure = kProcUpd;
          run();
        }
      };
      step([&] { open = hvrADOMsa_->hvrDbBeginTrans(); });
      step([&] {
        hvrADOMsa_->hvrDbExecute(procedure, {idUtilisateur, Parametre, Valeur.ToText()});
      });
      step([&] { hvrADOMsa_->hvrDbCommitTrans(); });
    });
  } catch (const DbError& e) {
    Log(kMsgAjouterModifier, e);
    AnnuleTransaction(open, kMsgAjouterModifier);
    throw DbError(e.number(), e.description(), e.source());
  }
}

void ParametresHalvero::Supprimer(const std::string& Parametre) {
  bool open = false;
  try {
    AsDbError([&] {
      VerifiePreconditions();
      if (IsBlank(Parametre)) return;
      open = hvrADOMsa_->hvrDbBeginTrans();
      hvrADOMsa_->hvrDbExecute("ParametresHalveroDel", {idUtilisateur, Parametre});
      hvrADOMsa_->hvrDbCommitTrans();
    });
  } catch (const DbError& e) {
    Log(kMsgSupprimer, e);
    AnnuleTransaction(open, kMsgSupprimer);
    throw DbError(e.number(), e.description(), e.source());
  }
}

}  // namespace guichet
