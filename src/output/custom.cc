#include "output/custom.h"

#include "core/guichet.h"
#include "output/html.h"
#include "support/text.h"

namespace guichet {

void PrintCustom(Guichet& g, Requete& r) {
  Check(g.env.WriteAnswer(r.htmfile, "", false));
  AppendCustom(g, r);
}

void AppendCustom(Guichet& g, Requete& r) {
  PrintBodyErr(g.env, r.htmfile, W("Répertoire 'ModelesPortail' manquant"));
}

}  // namespace guichet
