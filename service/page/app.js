'use strict';
// The status page of travcard serve. Every value the service returns came
// from the ERP or an operator, so it reaches the page only as text nodes.

(() => {
  const tokenKey = 'travcard.token';
  const pageSize = 20;
  const refreshEvery = 5000;  // the lists and the printers
  const runWait = 3;          // seconds a run that has not ended is waited on, each GET
  const fewestMsBetweenWaits = 1000;

  const $ = (id) => document.getElementById(id);

  // An element with properties and children; a string child becomes a text node.
  function h(tag, properties, ...children) {
    const element = document.createElement(tag);
    for (const [name, value] of Object.entries(properties || {})) {
      if (name === 'onclick' || name === 'onchange') element.addEventListener(name.slice(2), value);
      else element[name] = value;
    }
    for (const child of children) {
      if (child === null || child === undefined) continue;
      element.append(child instanceof Node ? child : document.createTextNode(String(child)));
    }
    return element;
  }

  function setRows(body, rows, columns, emptyText) {
    body.replaceChildren(...(rows.length ? rows : [h('tr', {}, h('td', { colSpan: columns, className: 'empty' }, emptyText))]));
  }

  const state = {
    token: sessionStorage.getItem(tokenKey),
    printers: [],
    pages: [null],       // the "before" of each page seen, from the newest
    allStations: false,  // the runs of every station sharing the journal, not only the service's
    station: null,       // a promise of the service's station, as its runs record it
    selectedRun: null,
    run: null,
    queueOf: null,       // the printer whose queue is shown
    chosen: new Set(),   // positions of tickets chosen for Reprint
    busy: false,         // an action is being sent
    timer: null,
    refreshTurn: 0,      // only the latest refresh sets the next
    following: 0,        // which run the wait loop follows
    unansweredReprint: null,  // {key, id}: a reprint sent without an answer, and its request id
  };

  class SignedOut extends Error {}

  // --- Calls ---------------------------------------------------------------

  async function call(method, path, body) {
    const init = { method, cache: 'no-store', credentials: 'omit', headers: { Authorization: 'Bearer ' + state.token } };
    if (body !== undefined) {
      init.headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    let response;
    try {
      response = await fetch(path, init);
    } catch (error) {
      throw new Error('The print service cannot be reached.');
    }
    let json = {};
    try {
      json = await response.json();
    } catch (error) {
      json = {};
    }
    if (response.status === 401) {
      signOut('The service did not take the token: sign in again.');
      throw new SignedOut();
    }
    if (response.status === 429) {
      signOut(json.message || 'Too many wrong tokens came from this address; try again later.');
      throw new SignedOut();
    }
    return { status: response.status, json };
  }

  // What a refusal or a command's answer says, as one line.
  function said(json, fallback) {
    if (Array.isArray(json.messages) && json.messages.length) return json.messages.join(' ');
    return json.message || fallback;
  }

  function notify(text, isError) {
    const notice = $('notice');
    notice.textContent = text;
    notice.className = isError ? 'error' : '';
  }

  function failed(error) {
    if (!(error instanceof SignedOut)) notify(error.message, true);
  }

  // --- Sign-in -------------------------------------------------------------

  function signOut(message) {
    sessionStorage.removeItem(tokenKey);
    state.token = null;
    clearTimeout(state.timer);
    state.following++;
    state.selectedRun = state.run = state.queueOf = null;
    state.chosen.clear();
    $('run').hidden = true;
    $('queue').hidden = true;
    $('app').hidden = true;
    $('sign-out').hidden = true;
    $('sign-in').hidden = false;
    $('sign-in-message').textContent = message || '';
    $('token').value = '';
    $('token').focus();
  }

  async function signIn(event) {
    event.preventDefault();
    const token = $('token').value.trim();
    if (!token) return;
    state.token = token;
    $('sign-in-message').textContent = 'Signing in…';
    try {
      const answer = await call('GET', '/v1/printers');
      if (answer.status !== 200) throw new Error(said(answer.json, 'The service answered ' + answer.status + '.'));
      sessionStorage.setItem(tokenKey, token);
      showApp();
    } catch (error) {
      if (!(error instanceof SignedOut)) $('sign-in-message').textContent = error.message;
    }
  }

  function showApp() {
    $('sign-in').hidden = true;
    $('sign-in-message').textContent = '';
    $('app').hidden = false;
    $('sign-out').hidden = false;
    refresh();
  }

  // --- Refreshing ----------------------------------------------------------

  async function refresh() {
    clearTimeout(state.timer);
    const turn = ++state.refreshTurn;
    try {
      await Promise.all([loadPrinters(), loadRuns(), state.queueOf ? loadQueue() : null,
        state.selectedRun && state.run && state.run.ended ? loadRun(state.selectedRun, 0) : null]);
      notify('Updated ' + time(localTime(new Date())).slice(11) + '.', false);
    } catch (error) {
      failed(error);
    }
    if (state.token && turn === state.refreshTurn) state.timer = setTimeout(refresh, document.hidden ? refreshEvery * 4 : refreshEvery);
  }

  async function loadPrinters() {
    const answer = await call('GET', '/v1/printers');
    if (answer.status !== 200) throw new Error(said(answer.json, 'The printers could not be read.'));
    state.printers = answer.json.printers || [];
    showPrinters();
  }

  // The service's own station, asked once: the runs list shows its runs
  // unless All stations is on.
  function serviceStation() {
    if (!state.station) {
      state.station = call('GET', '/v1/health').then((answer) => {
        if (typeof answer.json.station !== 'string' || !answer.json.station) throw new Error('The service did not say its station.');
        return answer.json.station;
      });
      state.station.catch(() => { state.station = null; });
    }
    return state.station;
  }

  async function loadRuns() {
    const before = state.pages[state.pages.length - 1];
    const all = state.allStations;
    const station = all ? 'all' : await serviceStation();
    const answer = await call('GET', '/v1/runs?limit=' + pageSize + '&station=' + encodeURIComponent(station) +
      (before ? '&before=' + before : ''));
    if (all !== state.allStations) return;  // switched meanwhile: the list asked since shows
    if (answer.status !== 200) throw new Error(said(answer.json, 'The runs could not be read.'));
    showRuns(answer.json);
  }

  async function loadQueue() {
    const name = state.queueOf;
    const answer = await call('GET', '/v1/printers/' + encodeURIComponent(name) + '/queue');
    if (state.queueOf !== name) return;
    if (answer.status !== 200) throw new Error(said(answer.json, 'The queue of ' + name + ' could not be read.'));
    showQueue(answer.json);
  }

  async function loadRun(run, wait) {
    const answer = await call('GET', '/v1/runs/' + run + (wait ? '?wait=' + wait : ''));
    if (state.selectedRun !== run) return null;
    if (answer.status !== 200) throw new Error(said(answer.json, 'Run ' + run + ' could not be read.'));
    state.run = answer.json;
    showRun();
    return answer.json;
  }

  // A run that has not ended is read again as it changes: each GET waits up
  // to runWait seconds for its end, and none follows sooner than a second
  // after the last began. Its end shows in the lists at once.
  async function follow(run) {
    const turn = ++state.following;
    while (turn === state.following && state.token) {
      const began = Date.now();
      let seen = null;
      try {
        seen = await loadRun(run, state.run && state.run.run === run ? runWait : 0);
      } catch (error) {
        failed(error);
      }
      if (turn !== state.following) return;
      if (seen && seen.ended) {
        const row = $('run-rows').querySelector(`tr[data-run="${Number(run)}"]`);
        if (row && row.lastChild.textContent !== outcomeText(seen.outcome)) refresh();
        return;
      }
      await new Promise((resolve) => setTimeout(resolve, Math.max(0, fewestMsBetweenWaits - (Date.now() - began))));
    }
  }

  function select(run) {
    if (state.selectedRun !== run) {
      state.selectedRun = run;
      state.run = null;
      state.chosen.clear();
      $('run').hidden = false;
      $('run-title').textContent = 'Run ' + run;
      $('run-fields').replaceChildren();
      $('ticket-rows').replaceChildren();
    }
    follow(run);
    highlightSelected();
  }

  // --- Showing -------------------------------------------------------------

  // This browser's time as the service writes times: 2026-12-10T05:02:03.
  function localTime(at) {
    const two = (n) => String(n).padStart(2, '0');
    return `${at.getFullYear()}-${two(at.getMonth() + 1)}-${two(at.getDate())}T${two(at.getHours())}:${two(at.getMinutes())}:${two(at.getSeconds())}`;
  }

  // The station's time, as the service gives it, to the second.
  function time(iso) {
    return iso ? String(iso).slice(0, 19).replace('T', ' ') : '';
  }

  function runButton(run) {
    return h('button', { type: 'button', className: 'link', onclick: () => select(run) }, 'Run ' + run);
  }

  function statusText(printer) {
    const status = printer.status;
    const check = h('button', { type: 'button', className: 'link', onclick: () => checkPrinter(printer.name).catch(failed) }, 'check');
    if (!status) return [h('span', { className: 'empty' }, 'not read yet'), ' ', check];
    const flags = ['paper_out', 'head_open', 'ribbon_out', 'paused'].filter((flag) => status[flag]).map((flag) => flag.replace('_', ' '));
    const text = status.ready ? 'Ready' : said(status, status.reason || 'Not ready');
    return [h('span', { className: status.ready ? 'ready' : 'not-ready' }, text + (flags.length ? ' (' + flags.join(', ') + ')' : '')),
      printer.status_read ? h('span', { className: 'empty' }, ' at ' + time(printer.status_read).slice(11)) : null, ' ', check];
  }

  // Asks the printer whether it can take a job now; nothing is printed.
  async function checkPrinter(name) {
    notify('Asking ' + name + '…', false);
    const answer = await call('GET', '/v1/printers/' + encodeURIComponent(name) + '/status');
    if (answer.status !== 200) throw new Error(said(answer.json, name + ' could not be asked (' + answer.status + ').'));
    const printer = state.printers.find((known) => known.name === name);
    if (printer) {
      printer.status = answer.json;
      printer.status_read = localTime(new Date());
      showPrinters();
    }
    notify(name + ': ' + (answer.json.ready ? 'ready.' : said(answer.json, 'not ready.')), !answer.json.ready);
  }

  function showPrinters() {
    const rows = state.printers.map((printer) => {
      const destination = printer.destination || {};
      return h('tr', {},
        h('td', {}, printer.name),
        h('td', {}, (printer.type || '') + (printer.dpi ? ' ' + printer.dpi + ' dpi' : '')),
        h('td', {}, (destination.kind || '') + (destination.host ? ' ' + destination.host : '')),
        h('td', {}, ...statusText(printer)),
        h('td', {}, printer.printing ? runButton(printer.printing.run) : h('span', { className: 'empty' }, 'nothing')),
        h('td', {}, String(printer.queued || 0) + ' ',
          h('button', { type: 'button', className: 'link', onclick: () => openQueue(printer.name) }, 'queue')));
    });
    setRows($('printer-rows'), rows, 6, 'The service has no printers.');
    const choice = $('printer-choice');
    const names = state.printers.map((printer) => printer.name);
    const kept = choice.value;
    if (names.join('\n') !== Array.from(choice.options, (option) => option.value).join('\n')) {
      choice.replaceChildren(...names.map((name) => h('option', { value: name }, name)));
      choice.value = names.includes(kept) ? kept : names.includes('default') ? 'default' : names[0] || '';
    }
  }

  function openQueue(name) {
    state.queueOf = state.queueOf === name ? null : name;
    $('queue').hidden = !state.queueOf;
    if (state.queueOf) {
      $('queue-title').textContent = 'Queue of ' + name;
      $('queue-runs').replaceChildren();
      loadQueue().catch(failed);
    }
  }

  function queueLine(line, printing) {
    return h('li', {}, runButton(line.run), ' ', printing ? 'printing' : 'waiting',
      ': order ' + [line.location, line.order, line.suffix].filter(Boolean).join(' ') + ', ' + line.planned + ' tickets');
  }

  function showQueue(queue) {
    const lines = (queue.printing ? [queueLine(queue.printing, true)] : []).concat((queue.runs || []).map((line) => queueLine(line, false)));
    $('queue-runs').replaceChildren(...(lines.length ? lines : [h('li', { className: 'empty' }, 'Nothing is waiting.')]));
  }

  function outcomeText(outcome) {
    return String(outcome).replace('_', ' ');
  }

  function outcomeCell(outcome) {
    return h('td', { className: 'outcome-' + String(outcome).replace(/[^a-z_]/g, '') }, outcomeText(outcome));
  }

  function showRuns(list) {
    const rows = (list.runs || []).map((run) => {
      const row = h('tr', { className: 'pick', onclick: () => select(run.run) },
        h('td', {}, String(run.run)),
        h('td', { className: 'nowrap' }, time(run.time)),
        h('td', { className: 'station' }, run.station),
        h('td', { className: 'nowrap' }, [run.location, run.order, run.suffix].filter((part) => part !== undefined && part !== '').join(' ')),
        h('td', {}, run.operation),
        h('td', {}, run.printer),
        h('td', {}, run.source),
        h('td', { className: 'number' }, String(run.planned)),
        h('td', { className: 'number' }, String(run.sent)),
        h('td', { className: 'number' }, String(run.printed)),
        h('td', { className: 'number' }, String(run.in_doubt)),
        outcomeCell(run.outcome));
      row.dataset.run = String(run.run);
      return row;
    });
    setRows($('run-rows'), rows, 12, 'No runs.');
    $('run-table').classList.toggle('one-station', !state.allStations);
    state.next = list.next ? new URL(list.next, location.href).searchParams.get('before') : null;
    $('older').disabled = !state.next;
    $('newer').disabled = state.pages.length <= 1;
    $('page-number').textContent = 'Page ' + state.pages.length;
    highlightSelected();
  }

  function highlightSelected() {
    for (const row of $('run-rows').children)
      row.classList.toggle('chosen', row.dataset.run === String(state.selectedRun));
  }

  function showRun() {
    const run = state.run;
    const ended = Boolean(run.ended);
    $('run-title').textContent = 'Run ' + run.run;
    const fields = [
      ['Order', [run.location, run.order, run.suffix].filter((part) => part !== undefined && part !== '').join(' ')],
      ['Operation', run.operation], ['Quantity', run.quantity], ['Printer', run.printer + (run.printer_type ? ' (' + run.printer_type + ')' : '')],
      ['Started', time(run.time)], ['Ended', ended ? time(run.ended) : 'not yet'], ['Source', run.source], ['Asked by', run.user],
      ['Planned', run.planned], ['Sent', run.sent], ['Printed', run.printed], ['In doubt', run.in_doubt],
      ['Outcome', outcomeText(run.outcome)], ['Request id', run.request_id || ''],
    ];
    $('run-fields').replaceChildren(...fields.flatMap(([name, value]) => [h('dt', {}, name), h('dd', {}, value === undefined || value === null ? '' : String(value))]));
    const messages = Array.isArray(run.messages) ? run.messages : run.message ? [run.message] : [];
    $('run-messages').replaceChildren(...messages.map((message) => h('li', {}, message)));

    const tickets = run.tickets || [];
    const rows = tickets.map((ticket) => h('tr', {},
      h('td', {}, h('input', {
        type: 'checkbox', checked: state.chosen.has(ticket.position), ariaLabel: 'Choose ticket ' + ticket.position,
        onchange: (event) => { if (event.target.checked) state.chosen.add(ticket.position); else state.chosen.delete(ticket.position); showActions(); },
      })),
      h('td', { className: 'number' }, String(ticket.position)),
      h('td', {}, ticket.operation),
      h('td', { className: 'number' }, String(ticket.copy)),
      h('td', {}, ticket.part || ''),
      h('td', {}, ticket.description || ''),
      h('td', {}, ticket.state)));
    setRows($('ticket-rows'), rows, 7, 'The journal kept no tickets of this run.');
    $('choose-all').checked = tickets.length > 0 && tickets.every((ticket) => state.chosen.has(ticket.position));
    showActions();
  }

  function showActions() {
    const run = state.run;
    const ended = Boolean(run && run.ended);
    $('cancel').hidden = !run || ended;
    $('rest').hidden = !run || !ended || run.sent >= run.planned;
    $('reprint').textContent = 'Reprint chosen (' + state.chosen.size + ')';
    for (const id of ['cancel', 'rest', 'reprint']) $(id).disabled = state.busy;
    $('reprint').disabled = state.busy || state.chosen.size === 0;
  }

  // --- Asking the operator -------------------------------------------------

  // Shows title and lines with a button per choice; resolves to the value of
  // the one pressed, or null when the dialog is dismissed.
  function ask(title, lines, choices) {
    const dialog = $('ask');
    $('ask-title').textContent = title;
    $('ask-text').replaceChildren(...lines.map((line) => h('p', {}, line)));
    return new Promise((resolve) => {
      $('ask-choices').replaceChildren(...choices.map(([label, value]) =>
        h('button', { type: 'button', value, onclick: () => dialog.close(value) }, label)));
      dialog.addEventListener('close', () => resolve(dialog.returnValue || null), { once: true });
      dialog.returnValue = '';
      dialog.showModal();
    });
  }

  async function act(work) {
    if (state.busy) return;
    state.busy = true;
    showActions();
    try {
      await work();
    } catch (error) {
      failed(error);
    } finally {
      state.busy = false;
      if (state.run) showActions();
    }
  }

  function accepted(answer, what) {
    notify(what + ': run ' + answer.json.run + ' waits on ' + answer.json.printer + '.', false);
    refresh();
    select(answer.json.run);
  }

  function cancelRun() {
    const run = state.selectedRun;
    return act(async () => {
      const choice = await ask('Cancel run ' + run + '?', [
        'A run that waits is taken out of its printer\'s queue. A run that prints stops after the ticket the printer is taking.',
      ], [['Cancel the run', 'cancel'], ['Keep it', 'keep']]);
      if (choice !== 'cancel') return;
      const answer = await call('DELETE', '/v1/runs/' + run);
      if (answer.status === 200) notify('Run ' + run + ' is cancelled.', false);
      else if (answer.status === 202) notify('Run ' + run + ' stops after the ticket the printer is taking.', false);
      else notify(said(answer.json, 'Run ' + run + ' could not be cancelled (' + answer.status + ').'), true);
      refresh();
      if (state.selectedRun === run) follow(run);
    });
  }

  function printRest() {
    const run = state.selectedRun;
    const printer = $('printer-choice').value;
    return act(async () => {
      let body = printer ? { printer } : {};
      let answer = await call('POST', '/v1/runs/' + run + '/rest', body);
      if (answer.status === 409 && answer.json.reason === 'in_doubt_unresolved') {
        const choice = await ask('Print the Rest of run ' + run, answer.json.messages || [answer.json.message],
          [['Print them', 'print'], ['Skip them', 'skip'], ['Cancel', 'cancel']]);
        if (choice !== 'print' && choice !== 'skip') return;
        body = Object.assign({}, body, { in_doubt: choice });
        answer = await call('POST', '/v1/runs/' + run + '/rest', body);
      }
      if (answer.status === 202) return accepted(answer, 'Print the Rest of run ' + run);
      notify(said(answer.json, 'Print the Rest answered ' + answer.status + '.'), answer.status !== 200);
      refresh();
    });
  }

  function requestId() {
    const bytes = crypto.getRandomValues(new Uint8Array(12));
    return 'status page ' + Array.from(bytes, (byte) => byte.toString(16).padStart(2, '0')).join('');
  }

  function reprint() {
    const run = state.selectedRun;
    const tickets = Array.from(state.chosen).sort((a, b) => a - b);
    const copies = Number($('copies').value);
    if (!Number.isInteger(copies) || copies < 1 || copies > 999) {
      notify('Copies is a whole number from 1 to 999.', true);
      return;
    }
    const body = { tickets, copies };
    if ($('printer-choice').value) body.printer = $('printer-choice').value;
    // The same reprint asked again before an answer came (the service could
    // not be reached) keeps its request id: it prints once, whichever got through.
    const key = JSON.stringify([run, body]);
    if (!state.unansweredReprint || state.unansweredReprint.key !== key) state.unansweredReprint = { key, id: requestId() };
    body.request_id = state.unansweredReprint.id;
    return act(async () => {
      const answer = await call('POST', '/v1/runs/' + run + '/reprint', body);
      state.unansweredReprint = null;
      if (answer.status === 202 && answer.json.run) return accepted(answer, 'Reprint of run ' + run);
      notify(said(answer.json, 'Reprint answered ' + answer.status + '.'), answer.status !== 200);
    });
  }

  // --- Wiring --------------------------------------------------------------

  $('sign-in-form').addEventListener('submit', signIn);
  $('sign-out').addEventListener('click', () => signOut(''));
  $('cancel').addEventListener('click', cancelRun);
  $('rest').addEventListener('click', printRest);
  $('reprint').addEventListener('click', reprint);
  $('older').addEventListener('click', () => {
    if (!state.next) return;
    state.pages.push(state.next);
    refresh();
  });
  $('newer').addEventListener('click', () => {
    if (state.pages.length > 1) state.pages.pop();
    refresh();
  });
  $('all-stations').addEventListener('change', (event) => {
    state.allStations = event.target.checked;
    state.pages = [null];
    refresh();
  });
  $('choose-all').addEventListener('change', (event) => {
    for (const ticket of (state.run && state.run.tickets) || []) {
      if (event.target.checked) state.chosen.add(ticket.position);
      else state.chosen.delete(ticket.position);
    }
    showRun();
  });
  document.addEventListener('visibilitychange', () => {
    if (!document.hidden && state.token) refresh();
  });

  if (state.token) showApp();
  else signOut('');
})();
