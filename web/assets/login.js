// The login page: the token goes to the station once, in a header; the station answers with
// an HttpOnly cookie, so that the token is never kept where a script could read it.
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
    error.textContent = answer.status === 401 ? 'Wrong token.' : 'The station answered ' + answer.status + '.';
  } catch (e) {
    error.textContent = 'The station cannot be reached.';
  }
});
