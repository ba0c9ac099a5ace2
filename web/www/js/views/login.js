// Log-on: name and password; a refused pair says so ("Utilisateur non reconnu") and
// keeps the name. The session itself is the front end's cookie: a reload finds it again
// (app.js asks GET /session on load), so nobody logs on twice.
import { ErreurGuichet } from '../api.js';

function champ(id, libelle, type, autocomplete) {
  const bloc = document.createElement('div');
  bloc.className = 'champ';
  const label = document.createElement('label');
  label.htmlFor = id;
  label.textContent = libelle;
  const input = document.createElement('input');
  Object.assign(input, { id, type, name: id, autocomplete, required: true });
  input.setAttribute('autocapitalize', 'none');
  input.spellcheck = false;
  bloc.append(label, input);
  return { bloc, input };
}

export async function render(main, params, app) {
  const titre = document.createElement('h1');
  titre.textContent = 'Connexion';
  const intro = document.createElement('p');
  intro.textContent = 'Connectez-vous pour dicter, suivre vos documents et les valider.';

  const carte = document.createElement('div');
  carte.className = 'carte';
  const form = document.createElement('form');
  form.noValidate = true;
  form.setAttribute('aria-labelledby', 'titre-connexion');
  titre.id = 'titre-connexion';
  const nom = champ('nom', 'Nom', 'text', 'username');
  const motDePasse = champ('motdepasse', 'Mot de passe', 'password', 'current-password');
  const erreur = document.createElement('p');
  erreur.id = 'erreur-connexion';
  erreur.className = 'annonce-erreur';
  erreur.setAttribute('role', 'alert');
  erreur.hidden = true;
  const bouton = document.createElement('button');
  Object.assign(bouton, { type: 'submit', id: 'connexion', className: 'principal', textContent: 'Se connecter' });
  form.append(nom.bloc, motDePasse.bloc, erreur, bouton);
  carte.append(form);
  main.append(titre, intro, carte);

  const montreErreur = (message) => {
    erreur.textContent = message;
    erreur.hidden = false;
    motDePasse.input.setAttribute('aria-invalid', 'true');
    motDePasse.input.setAttribute('aria-describedby', erreur.id);
  };

  form.addEventListener('submit', async (e) => {
    e.preventDefault();
    if (!nom.input.value.trim() || !motDePasse.input.value) {
      montreErreur('Indiquez votre nom et votre mot de passe.');
      (nom.input.value.trim() ? motDePasse.input : nom.input).focus();
      return;
    }
    bouton.disabled = true;
    bouton.textContent = 'Connexion…';
    erreur.hidden = true;
    try {
      const utilisateur = await app.occupe(app.api.connecte(nom.input.value.trim(),
        motDePasse.input.value), 'Connexion…');
      app.fixeUtilisateur(utilisateur);
      app.annoncer('');
      const retour = app.retour;
      app.retour = null;
      app.aller(retour || app.accueil());
    } catch (err) {
      bouton.disabled = false;
      bouton.textContent = 'Se connecter';
      montreErreur(err instanceof ErreurGuichet && err.status === 401
        ? `${err.message}. Vérifiez votre nom et votre mot de passe.`
        : err.message);
      motDePasse.input.select();
      motDePasse.input.focus();
    }
  });
}
