// The login page: the token goes to the station once, in a header; the station answers with
// a session's HttpOnly cookie (never the token), so that nothing a script could read is kept.
'use strict';
document.getElementById('login').addEventListener('submit', async (event) => {
  event.preventDefault();
  const error = document.getElementById('login-error');
  const token = document.getElementById('token').value.trim();
  try {
    const answer = await fetch('/login', { headers: { Authorization: 'Bearer ' + token }, credentials: 'same-origin' });
    if (answer.ok) {
      location.replace('/');
      return;
    }
    if (answer.status === 429) {
      error.textContent = 'Too many wrong tokens: try again in ' + (answer.headers.get('Retry-After') || 'a few') + ' s.';
    } else {
      error.textContent = answer.status === 401 ? 'Wrong token.' : 'The station answered ' + answer.status + '.';
    }
  } catch (e) {
    error.textContent = 'The station cannot be reached.';
  }
});
