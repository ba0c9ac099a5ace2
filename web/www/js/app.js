// The portal's one page: hash routes, each view a module loaded when first needed.
// Every view module exports `render(main, params, app)`; `app` gives it the session,
// the busy state, the announcements and the way back to log-on when the session ends.
import * as api from './api.js';

const ROUTES = [
  { motif: /^#\/connexion$/, vue: 'login', publique: true },
  { motif: /^#\/documents$/, vue: 'documents' },
  { motif: /^#\/document\/([A-Za-z0-9_-]{1,64})$/, vue: 'document', noms: ['numero'] },
  { motif: /^#\/dicter$/, vue: 'dictate' },
  { motif: /^#\/archives\/([A-Za-z0-9_-]{1,64})$/, vue: 'archives', noms: ['numero'] },
  { motif: /^#\/agenda$/, vue: 'agenda' },
  { motif: /^#\/agenda\/(\d{4}-\d{2}-\d{2})$/, vue: 'agenda', noms: ['date'] },
  { motif: /^#\/bureau$/, vue: 'desk', bureau: true },
  { motif: /^#\/bureau\/([A-Za-z0-9._-]{1,64})\/(\d{1,18})$/, vue: 'desk-document',
    noms: ['auteur', 'numero'], bureau: true },
];

const main = document.getElementById('contenu');
const annonce = document.getElementById('annonce');
const occupe = document.getElementById('occupe');
const navigation = document.getElementById('navigation');
const zoneUtilisateur = document.getElementById('zone-utilisateur');
const nomUtilisateur = document.getElementById('utilisateur');
const lienBureau = document.getElementById('lien-bureau');

let tour = 0;  // the render in progress; an older one that ends late changes nothing
let attentes = 0;
let aQuitter = [];  // what the current view asked to run when it goes (stop the sound)

function quitteLaVue() {
  const fonctions = aQuitter;
  aQuitter = [];
  for (const f of fonctions) {
    try { f(); } catch (e) { /* the next view comes all the same */ }
  }
}

const app = {
  api,
  utilisateur: null,  // {id, name, service, transcriber} of the open session

  // Where a user starts: the desk for a transcriber, their documents for an author.
  accueil() {
    return app.utilisateur && app.utilisateur.transcriber ? '#/bureau' : '#/documents';
  },

  // Runs `f` when the view goes (another route, or the same one drawn again).
  enQuittant(f) {
    aQuitter.push(f);
  },

  // Goes to a route ("#/documents"); the same route is rendered again.
  // The message of the moment stays for the new view.
  aller(hash) {
    if (location.hash === hash) {
      affiche();
    } else {
      app.garderAnnonce = true;
      location.hash = hash;
    }
  },

  // A message above the view: 'info', 'succes' or 'erreur'. It stays until the next one.
  annoncer(message, genre = 'info') {
    annonce.textContent = message;
    annonce.className = message ? `annonce annonce-${genre}` : 'annonce';
    annonce.setAttribute('role', genre === 'erreur' ? 'alert' : 'status');
  },

  // Shows the busy state while `promesse` runs; returns its result.
  async occupe(promesse, texte = 'Chargement…') {
    attentes += 1;
    occupe.textContent = texte;
    occupe.hidden = false;
    main.setAttribute('aria-busy', 'true');
    document.body.classList.add('occupe');
    try {
      return await promesse;
    } finally {
      attentes -= 1;
      if (attentes === 0) {
        occupe.hidden = true;
        main.removeAttribute('aria-busy');
        document.body.classList.remove('occupe');
      }
    }
  },

  // The session ended (expired, closed elsewhere): back to log-on with a message.
  sessionTerminee(message = new api.SessionExpiree().message) {
    app.fixeUtilisateur(null);
    app.annoncer(message, 'erreur');
    app.retour = location.hash && location.hash !== '#/connexion' ? location.hash : null;
    app.aller('#/connexion');
  },

  fixeUtilisateur(utilisateur) {
    app.utilisateur = utilisateur;
    navigation.hidden = !utilisateur;
    zoneUtilisateur.hidden = !utilisateur;
    nomUtilisateur.textContent = utilisateur ? utilisateur.name : '';
    lienBureau.hidden = !(utilisateur && utilisateur.transcriber);
  },

  // After a failure in a view: a session that ended goes to log-on, the rest is shown.
  echec(erreur) {
    if (erreur instanceof api.SessionExpiree) app.sessionTerminee();
    else app.annoncer(erreur.message || String(erreur), 'erreur');
  },
};

function routeDe(hash) {
  for (const route of ROUTES) {
    const m = route.motif.exec(hash);
    if (!m) continue;
    const params = {};
    (route.noms || []).forEach((nom, i) => { params[nom] = m[i + 1]; });
    return { ...route, params };
  }
  return null;
}

async function affiche() {
  const monTour = ++tour;
  quitteLaVue();
  let route = routeDe(location.hash);
  if (!route) {
    location.replace(app.utilisateur ? app.accueil() : '#/connexion');
    return;
  }
  if (!route.publique && !app.utilisateur) {
    app.retour = location.hash;
    location.replace('#/connexion');
    return;
  }
  if (route.vue === 'login' && app.utilisateur) {
    location.replace(app.accueil());
    return;
  }
  // The desk is for transcribers only (the front end refuses its requests to others).
  if (route.bureau && !app.utilisateur.transcriber) {
    app.annoncer('Le bureau de transcription est réservé aux transcripteurs.', 'erreur');
    app.garderAnnonce = true;
    location.replace('#/documents');
    return;
  }
  // A document and its archive belong to "Mes documents".
  // A document on the desk belongs to the desk.
  const rubrique = /^#\/(document|archives)\//.test(location.hash) ? '#/documents'
    : /^#\/bureau\//.test(location.hash) ? '#/bureau' : location.hash;
  document.querySelectorAll('#navigation a').forEach((a) => {
    if (rubrique.startsWith(a.getAttribute('href'))) a.setAttribute('aria-current', 'page');
    else a.removeAttribute('aria-current');
  });

  let module;
  try {
    module = await app.occupe(import(`./views/${route.vue}.js`));
  } catch (e) {
    if (monTour !== tour) return;
    main.replaceChildren();
    app.annoncer('Cette page n’est pas disponible pour le moment.', 'erreur');
    return;
  }
  if (monTour !== tour) return;
  const cadre = document.createElement('div');
  cadre.className = `vue vue-${route.vue}`;
  main.replaceChildren(cadre);
  try {
    await module.render(cadre, route.params, app);
  } catch (erreur) {
    if (monTour !== tour) return;
    app.echec(erreur);
  }
  if (monTour !== tour) return;
  // Focus goes to the new content: its heading, else the content itself.
  const titre = cadre.querySelector('h1');
  if (titre) {
    titre.tabIndex = -1;
    titre.focus({ preventScroll: false });
    document.title = `${titre.textContent} – Portail de dictée`;
  } else {
    main.focus();
  }
}

async function deconnexion() {
  try {
    await app.occupe(api.deconnecte(), 'Déconnexion…');
  } catch (e) {
    if (!(e instanceof api.SessionExpiree)) {
      app.annoncer(e.message, 'erreur');
      return;
    }
  }
  app.fixeUtilisateur(null);
  app.annoncer('Vous êtes déconnecté. À bientôt.', 'succes');
  app.aller('#/connexion');
}

async function demarre() {
  document.getElementById('deconnexion').addEventListener('click', deconnexion);
  // A view's link clears the previous message; the view sets its own.
  window.addEventListener('hashchange', () => {
    if (!app.garderAnnonce) app.annoncer('');
    app.garderAnnonce = false;
    affiche();
  });
  try {
    app.fixeUtilisateur(await app.occupe(api.session()));
  } catch (e) {
    app.annoncer(e.message, 'erreur');
  }
  affiche();
}

// For the browser test and the curious: the app's state, never the session's token
// (which is in an HttpOnly cookie, out of the page's reach).
window.portail = app;
demarre();
