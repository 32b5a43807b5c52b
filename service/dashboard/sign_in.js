// Who is signed in, in the header ("ada · operator", with "Sign out"), and the sign-in form: the
// token typed once, kept for this tab's session like one from the address. The form is offered
// when the service would want a token (control allowed, or reading needs it) and the tab has
// none; otherwise a "Sign in" button brings it.
import { element } from '/dashboard/element.js';

export class SignIn {
  // onToken(token): a token entered; onSignOut(): the token to be forgotten.
  constructor(header, area, { onToken, onSignOut }) {
    this.who = element('span', { id: 'who-name' });
    this.toggle = element('button', { type: 'button' });
    this.toggle.addEventListener('click', () => {
      if (this.user) onSignOut();
      else this.offer('Sign in with the token the service\'s administrator gave you.');
    });
    header.append(element('p', { id: 'who' }, this.who, this.toggle));

    this.lead = element('p', { id: 'sign-in-lead' });
    this.field = element('input', { id: 'sign-in-token', type: 'password', autocomplete: 'off', required: true, size: 34 });
    this.problem = element('output', { id: 'sign-in-problem', className: 'control-result error', htmlFor: this.field.id, ariaLive: 'polite' });
    this.form = element('form', { id: 'sign-in', ariaLabel: 'Sign in', hidden: true }, this.lead,
      element('label', { htmlFor: this.field.id, textContent: 'Token' }), this.field,
      element('button', { type: 'submit', textContent: 'Sign in' }), this.problem);
    this.form.addEventListener('submit', (event) => {
      event.preventDefault();
      const token = this.field.value.trim();
      if (token === '') return;
      this.field.value = '';
      this.form.hidden = true;
      onToken(token);
    });
    area.append(this.form);
    this.show(null);
  }

  // access: what the service answered (null while not known); refused: why the last token was
  // not accepted, or ''.
  show(access, refused = '') {
    this.user = access?.user ?? null;
    this.who.textContent = this.user ? `${this.user.name} · ${this.user.role}` : access ? 'not signed in' : '';
    this.toggle.textContent = this.user ? 'Sign out' : 'Sign in';
    this.toggle.hidden = !access || (!this.user && !this.form.hidden);
    if (this.user || !access) {
      this.form.hidden = true;
    } else if (refused || access.controlAllowed) {
      this.offer('Sign in to be offered what your role allows.', refused);
    }
  }

  // The form, shown; the page waits for it when the service answers nothing without a token.
  offer(lead, refused = '') {
    this.lead.textContent = lead;
    this.problem.textContent = refused ? `The token was not accepted (${refused}). Enter it again.` : '';
    this.form.hidden = false;
    this.toggle.hidden = true;
    this.field.focus();
  }
}
