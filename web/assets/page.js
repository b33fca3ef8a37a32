// What every page of the program shares: a live feed's state kept from its Server-Sent
// Events, and the one way outside text reaches the page (as text, never as markup).
'use strict';

// Control characters as \xNN, as a terminal shows them: they are data, and invisible otherwise.
function shown(value) {
  if (value === null || value === undefined) return '';
  return String(value).replace(/[\u0000-\u001f\u007f-\u009f]/g,
    (c) => '\\x' + c.charCodeAt(0).toString(16).toUpperCase().padStart(2, '0'));
}

// Sets an element's text; never markup, whatever the value holds.
function setText(element, value) {
  const text = shown(value);
  if (element.textContent !== text) element.textContent = text;
}

// A new element with a class and, optionally, text.
function make(tag, className, text) {
  const element = document.createElement(tag);
  if (className) element.className = className;
  if (text !== undefined) element.textContent = shown(text);
  return element;
}

// RFC 7386, as the server applies it to its own copy of the state.
function mergePatch(target, patch) {
  if (patch === null || typeof patch !== 'object' || Array.isArray(patch)) return patch;
  if (target === null || typeof target !== 'object' || Array.isArray(target)) target = {};
  for (const [key, value] of Object.entries(patch)) {
    if (value === null) delete target[key];
    else target[key] = mergePatch(target[key], value);
  }
  return target;
}

// Follows a feed: `render(state, changed)` after each message. `lags` keeps how long each
// message took from the program to this page (the program stamps `sent_ms`).
function followFeed(path, render, link) {
  let state = { items: [] };
  const lags = [];
  window.tarvoloLags = lags;
  const took = (data) => {
    if (data.sent_ms) {
      lags.push(Date.now() - data.sent_ms);
      if (lags.length > 20000) lags.splice(0, 10000);
    }
  };
  const source = new EventSource(path);
  source.addEventListener('open', () => { link.textContent = 'live'; link.className = 'link-up'; });
  source.addEventListener('error', () => { link.textContent = 'reconnecting'; link.className = 'link-down'; });
  source.addEventListener('snapshot', (e) => {
    state = JSON.parse(e.data);
    render(state, true);
  });
  source.addEventListener('patch', (e) => {
    const data = JSON.parse(e.data);
    state = mergePatch(state, data);
    render(state, false);
    took(data);
  });
  source.addEventListener('item', (e) => {
    const data = JSON.parse(e.data);
    state.items.push(data);
    render(state, true);
    took(data);
  });
}
