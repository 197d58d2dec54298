// de30d's dashboard: the forecourt, sales, prices and lines of one station, kept
// up to date from the service's event stream. Plain script, no build step.
//
// Everything the service says reaches the page as text nodes (textContent), never
// as markup. State is read with GET once the event stream is open; events that
// arrive meanwhile are applied afterwards when they are newer than what was read
// (the De30-Event-Id header of each read). Event ids are "RUN-SEQUENCE": within
// one stream the run is the same, so the sequences are what is compared. A
// stream that broke is opened again after the last event the page saw, and the
// service hands over what it missed; an event "reset" says events were lost
// (or the service restarted): the state is read again.
'use strict';

(function () {
  const Api = '/api/v1';
  const RecentSales = 50; // shown besides every unpaid sale
  const RecentAlarms = 20;
  const TokenKey = 'de30.token';
  const ClientKey = 'de30.client';
  // The newest alarm someone marked seen in this browser.
  const AlarmsSeenKey = 'de30.alarmsSeen';
  // Line health comes about once a second: a stream silent this long is dead.
  const SilenceMs = 30000;
  const RetryMaxMs = 5000;
  const RecentErrorMs = 60000;

  const PointLabels = {
    offline: 'Offline', idle: 'Idle', calling: 'Calling', authorised: 'Authorised',
    fuelling: 'Fuelling', completed: 'Completed', locked: 'Locked', error: 'Error',
  };
  const SaleOrder = { open: 0, payable: 1, locked: 2, cleared: 3 };
  const PriceLabels = { pending: 'pending', sent: 'sent', failed: 'failed' };
  const AlarmKinds = { totals_moved: 'fuel without a sale', totals_back: 'totals went back' };
  // Flags that need a look from someone; the others are routine.
  const WarningFlags = ['volume_mismatch', 'recovered', 'totals_moved', 'overrun', 'authorize_timeout'];

  const model = {
    station: { id: '', grades: {} },
    pumps: new Map(), // "1:3" -> pump
    sales: new Map(), // id -> sale
    prices: {}, // "1" -> 45.5
    lines: new Map(), // 1 -> line
    alarms: new Map(), // id -> alarm
  };

  const $ = (id) => document.getElementById(id);

  // ---- DOM helpers -----------------------------------------------------------

  // A new element; text and children become text nodes or elements, never markup.
  function el(tag, options, ...children) {
    const node = document.createElement(tag);
    const o = options || {};
    if (o.className) node.className = o.className;
    if (o.text !== undefined) node.textContent = String(o.text);
    for (const [key, value] of Object.entries(o.data || {})) node.dataset[key] = String(value);
    for (const [key, value] of Object.entries(o.attrs || {})) node.setAttribute(key, String(value));
    for (const [type, handler] of Object.entries(o.on || {})) node.addEventListener(type, handler);
    for (const child of children) if (child !== null && child !== undefined) node.append(child);
    return node;
  }

  // Writes only what changed, so a button is never replaced under a finger.
  function setText(node, text) {
    const value = text === null || text === undefined ? '' : String(text);
    if (node.textContent !== value) node.textContent = value;
  }

  function setData(node, key, value) {
    if (node.dataset[key] !== String(value)) node.dataset[key] = String(value);
  }

  // Keeps the container's rows in the order of keys: a row is made once per key,
  // updated on every call, moved when the order changes and removed when its key goes.
  function reconcile(container, rows, keys, make, update) {
    const wanted = new Set(keys);
    for (const [key, row] of rows) {
      if (!wanted.has(key)) {
        row.root.remove();
        rows.delete(key);
      }
    }
    let cursor = container.firstChild;
    for (const key of keys) {
      let row = rows.get(key);
      if (!row) {
        row = make(key);
        rows.set(key, row);
      }
      update(row, key);
      if (row.root === cursor) cursor = cursor.nextSibling;
      else container.insertBefore(row.root, cursor);
    }
  }

  // ---- Formatting ------------------------------------------------------------

  const fixed = (value) => (typeof value === 'number' && Number.isFinite(value) ? value.toFixed(2) : '–');

  function gradeName(grade) {
    if (!grade) return '–';
    return model.station.grades[String(grade)] || 'grade ' + grade;
  }

  function presetText(preset) {
    if (!preset) return '';
    if (typeof preset.litres === 'number') return 'Preset ' + fixed(preset.litres) + ' l';
    if (typeof preset.money === 'number') return 'Preset ' + fixed(preset.money);
    return '';
  }

  function timeText(iso) {
    if (!iso) return '';
    const when = new Date(iso);
    if (Number.isNaN(when.getTime())) return iso;
    const today = new Date().toDateString() === when.toDateString();
    return today ? when.toLocaleTimeString() : when.toLocaleString();
  }

  function byPumpId(a, b) {
    const [la, pa] = a.split(':').map(Number);
    const [lb, pb] = b.split(':').map(Number);
    return la - lb || pa - pb;
  }

  // ---- Notices ---------------------------------------------------------------

  let noticeTimer = 0;
  function notify(text, kind) {
    const notice = $('notice');
    setText(notice, text);
    notice.dataset.kind = kind || 'info';
    notice.hidden = false;
    clearTimeout(noticeTimer);
    // Errors stay until the next notice: someone has to read them.
    if (kind !== 'error') noticeTimer = setTimeout(() => { notice.hidden = true; }, 6000);
  }

  // ---- HTTP ------------------------------------------------------------------

  class ServiceError extends Error {
    constructor(message, code) {
      super(message);
      this.code = code || '';
    }
  }

  // A read, with the bearer token when the page has one: a service that guards
  // its reads (read_token) answers 401 without, and the page asks once.
  async function read(path) {
    for (let asked = false; ; asked = true) {
      const token = sessionStorage.getItem(TokenKey);
      let response;
      try {
        response = await fetch(Api + path, {
          cache: 'no-store',
          headers: token ? { Authorization: 'Bearer ' + token } : {},
        });
      } catch (error) {
        throw new ServiceError('the service cannot be reached');
      }
      if (response.status === 401 && !asked) {
        sessionStorage.removeItem(TokenKey);
        const given = await askToken('Reading this station needs a client\'s bearer token.');
        if (given) {
          sessionStorage.setItem(TokenKey, given);
          continue;
        }
      }
      const body = await response.json().catch(() => null);
      if (!response.ok) throw new ServiceError((body && body.message) || 'HTTP ' + response.status, body && body.error);
      return { body, eventId: sequenceOf(response.headers.get('De30-Event-Id')) };
    }
  }

  // The sequence of an event id ("7-1234" gives 1234); 0 for none.
  function sequenceOf(id) {
    const text = String(id || '');
    return Number(text.slice(text.lastIndexOf('-') + 1)) || 0;
  }

  // A command, with the bearer token once the service has asked for it. A 401
  // changed nothing, so the command is sent again with the token given.
  async function command(method, path, body) {
    let refused = false;
    for (;;) {
      const headers = { 'Content-Type': 'application/json' };
      const token = sessionStorage.getItem(TokenKey);
      if (token) headers.Authorization = 'Bearer ' + token;
      let response;
      try {
        response = await fetch(Api + path, {
          method, headers, body: body === undefined ? '' : JSON.stringify(body), cache: 'no-store',
        });
      } catch (error) {
        // The request may have gone out before the connection broke.
        throw new ServiceError('no answer from the service: it may or may not have been done; look before trying again');
      }
      const answer = await response.json().catch(() => null);
      if (response.status === 401) {
        sessionStorage.removeItem(TokenKey);
        const given = await askToken(token || refused
          ? 'The service refused that token. Type the token of the station service.'
          : 'Commands on this station need the service\'s bearer token.');
        if (!given) throw new ServiceError('not sent: no token given', 'unauthorized');
        sessionStorage.setItem(TokenKey, given);
        refused = true;
        continue;
      }
      if (!response.ok) {
        throw new ServiceError((answer && answer.message) || 'HTTP ' + response.status, answer && answer.error);
      }
      return answer;
    }
  }

  // Runs a command from a button: the button waits, the outcome is a notice.
  async function run(button, what, action) {
    if (button) button.disabled = true;
    try {
      const answer = await action();
      notify(what + ': done', 'ok');
      return answer;
    } catch (error) {
      notify(what + ': ' + error.message, 'error');
      return null;
    } finally {
      if (button) button.disabled = false;
    }
  }

  // ---- The token dialog ------------------------------------------------------

  // One question at a time: commands refused together all wait for the same answer.
  let tokenAsked = null;
  let tokenWaiter = null;
  function askToken(why) {
    if (tokenAsked) return tokenAsked;
    const dialog = $('token-dialog');
    setText($('token-why'), why);
    $('token-input').value = '';
    if (!dialog.open) dialog.showModal();
    $('token-input').focus();
    tokenAsked = new Promise((resolve) => { tokenWaiter = resolve; });
    return tokenAsked;
  }

  function answerToken(value) {
    const dialog = $('token-dialog');
    if (dialog.open) dialog.close();
    const waiter = tokenWaiter;
    tokenAsked = null;
    tokenWaiter = null;
    if (waiter) waiter(value);
  }

  function setUpTokenDialog() {
    $('token-form').addEventListener('submit', (event) => {
      event.preventDefault();
      const value = $('token-input').value.trim();
      if (value) answerToken(value);
    });
    $('token-cancel').addEventListener('click', () => answerToken(null));
    $('token-dialog').addEventListener('cancel', (event) => {
      event.preventDefault();
      answerToken(null);
    });
  }

  // ---- Pumps -----------------------------------------------------------------

  const tiles = new Map();

  function makeTile(id) {
    const t = {};
    t.state = el('span', { className: 'state' });
    t.reason = el('p', { className: 'reason' });
    t.nozzle = el('p', { className: 'nozzle' });
    t.amount = el('span', { className: 'value amount' });
    t.volume = el('span', { className: 'value volume' });
    t.unitPrice = el('span', { className: 'value unit-price' });
    t.preset = el('span', { className: 'preset' });
    t.sale = el('span', { className: 'sale' });
    t.price = el('p', { className: 'price-warning' });
    t.stop = el('button', { className: 'stop danger', text: 'Stop', attrs: { type: 'button' } });
    t.stop.addEventListener('click', () => {
      run(t.stop, 'Stop pump ' + id, () => command('POST', '/pumps/' + id + '/stop'));
    });
    // The three rows of a pump's own display: money, litres, unit price.
    t.root = el('article', { className: 'pump', data: { pump: id } },
      el('header', null, el('h3', { text: 'Pump ' + id }), t.state),
      t.nozzle,
      el('dl', { className: 'figures' },
        el('dt', { text: 'Amount' }), el('dd', null, t.amount),
        el('dt', { text: 'Litres' }), el('dd', null, t.volume),
        el('dt', { text: 'Price' }), el('dd', null, t.unitPrice)),
      el('p', { className: 'meta' }, t.preset, t.sale),
      t.reason, t.price,
      el('div', { className: 'actions' }, t.stop));
    return t;
  }

  function updateTile(t, id) {
    const p = model.pumps.get(id);
    setData(t.root, 'state', p.state);
    setText(t.state, PointLabels[p.state] || p.state);
    // The reason says more than the state only now and then ("fill ended", "3 missed replies").
    setText(t.reason, p.reason === p.state ? '' : p.reason);
    // The fill's own price: a completed fill keeps it after new prices were sent.
    const sale = p.sale ? model.sales.get(p.sale) : undefined;
    const price = sale && sale.price ? sale.price
      : p.nozzle && Array.isArray(p.prices) ? p.prices[p.nozzle - 1] : undefined;
    // A pump on a tap line is another controller's: shown, never commanded.
    setData(t.root, 'observed', p.observed ? 'true' : 'false');
    setText(t.nozzle, (p.nozzle
      ? 'Nozzle ' + p.nozzle + ' · ' + gradeName(p.grade)
      : p.nozzles + (p.nozzles === 1 ? ' nozzle' : ' nozzles') + (p.auto_authorize ? ' · authorised on call' : '')) +
      (p.observed ? ' · observed (tap line)' : ''));
    setText(t.amount, fixed(p.amount));
    setText(t.volume, fixed(p.volume));
    setText(t.unitPrice, price ? fixed(price) : '–');
    setText(t.preset, presetText(p.preset));
    setText(t.sale, p.sale ? 'Sale ' + p.sale : '');
    t.price.hidden = p.price_state === 'sent';
    setData(t.price, 'priceState', p.price_state);
    setText(t.price, 'Prices ' + (PriceLabels[p.price_state] || p.price_state) +
      (p.price_reason ? ': ' + p.price_reason : ''));
    t.stop.hidden = p.observed || !(p.state === 'authorised' || p.state === 'fuelling');
  }

  function renderPumps() {
    const ids = [...model.pumps.keys()].sort(byPumpId);
    reconcile($('pumps'), tiles, ids, makeTile, updateTile);
    reconcile($('pump-prices'), pumpPriceRows, ids, makePumpPrice, updatePumpPrice);
  }

  // ---- Sales -----------------------------------------------------------------

  const saleRows = new Map();

  function clientName() {
    return $('client').value.trim() || 'dashboard';
  }

  function cell(label, className) {
    return el('td', { className: className || '', data: { label } });
  }

  function makeSaleRow(id) {
    const r = {};
    r.pump = cell('Pump');
    r.grade = cell('Grade');
    r.volume = cell('Litres', 'num');
    r.price = cell('Price', 'num');
    r.amount = cell('Amount', 'num');
    r.started = cell('Started');
    r.badge = el('span', { className: 'badge' });
    r.flags = el('span', { className: 'flags' });
    r.lock = el('button', { className: 'lock', text: 'Lock', attrs: { type: 'button' } });
    r.clear = el('button', { className: 'clear primary', text: 'Clear', attrs: { type: 'button' } });
    r.lock.addEventListener('click', () => claim(r.lock, id, 'lock'));
    r.clear.addEventListener('click', () => claim(r.clear, id, 'clear'));
    r.root = el('tr', { data: { sale: id } },
      el('td', { className: 'sale-id', text: id, data: { label: 'Sale' } }),
      r.pump, r.grade, r.volume, r.price, r.amount, r.started,
      el('td', { data: { label: 'State' } }, r.badge, r.flags),
      el('td', { className: 'actions' }, r.lock, r.clear));
    return r;
  }

  function updateSaleRow(r, id) {
    const s = model.sales.get(id);
    setData(r.root, 'state', s.state);
    setText(r.pump, s.pump);
    setText(r.grade, gradeName(s.grade));
    setText(r.volume, fixed(s.volume));
    setText(r.price, s.price ? fixed(s.price) : '–');
    setText(r.amount, fixed(s.amount));
    setText(r.started, timeText(s.started));
    const flags = Array.isArray(s.flags) ? s.flags : [];
    let label = { open: 'Filling', payable: 'To pay', locked: 'Locked', cleared: 'Paid' }[s.state] || s.state;
    if (s.state === 'cleared' && flags.includes('empty')) label = 'Empty';
    if (s.state === 'locked' && s.locked_by) label = 'Locked by ' + s.locked_by;
    // Another controller's sale, heard on a tap line: paid there, not here.
    if (s.observed) label += ' (observed)';
    setText(r.badge, label);
    // What goes back to a customer who paid in advance: someone has to hand it out.
    const refund = typeof s.refund === 'number' && s.refund > 0 ? 'refund ' + fixed(s.refund) : '';
    setText(r.flags, [...flags.filter((f) => f !== 'empty'), refund].filter(Boolean).join(' '));
    r.flags.classList.toggle('warn', refund !== '' || flags.some((f) => WarningFlags.includes(f)));
    r.lock.hidden = s.observed || s.state !== 'payable';
    r.clear.hidden = s.observed || !(s.state === 'locked' && s.locked_by === clientName());
  }

  function renderSales() {
    const all = [...model.sales.values()].sort((a, b) => b.id - a.id);
    const unpaidOnly = $('unpaid-only').checked;
    const shown = all.filter((s, index) =>
      s.state === 'open' || s.state === 'payable' || s.state === 'locked' ||
      (!unpaidOnly && index < RecentSales));
    reconcile($('sales'), saleRows, shown.map((s) => s.id), makeSaleRow, updateSaleRow);
    $('sales-empty').hidden = shown.length > 0;
    setText($('sales-empty'), unpaidOnly ? 'No unpaid sales.' : 'No sales yet.');
  }

  // A sale only moves forward: an older copy never replaces a newer one.
  function keepSale(sale) {
    const known = model.sales.get(sale.id);
    if (known && SaleOrder[known.state] > SaleOrder[sale.state]) return;
    model.sales.set(sale.id, sale);
  }

  function trimSales() {
    const ids = [...model.sales.keys()].sort((a, b) => b - a);
    ids.slice(RecentSales).forEach((id) => {
      const s = model.sales.get(id);
      if (s.state === 'cleared') model.sales.delete(id);
    });
  }

  async function claim(button, id, what) {
    const client = clientName();
    const answer = await run(button, (what === 'lock' ? 'Lock' : 'Clear') + ' sale ' + id,
      () => command('POST', '/sales/' + id + '/' + what, { client }));
    if (answer && typeof answer.id === 'number' && answer.state) {
      keepSale(answer);
      changed('sales');
    }
  }

  // ---- Prices ----------------------------------------------------------------

  const priceRows = new Map();
  const pumpPriceRows = new Map();

  function gradeNumbers() {
    const grades = new Set([...Object.keys(model.station.grades), ...Object.keys(model.prices)]);
    return [...grades].map(Number).sort((a, b) => a - b);
  }

  function makePriceRow(grade) {
    const r = {};
    r.name = el('td', { data: { label: 'Grade' } });
    r.current = el('td', { className: 'num current', data: { label: 'Price' } });
    r.input = el('input', {
      className: 'new-price',
      attrs: { type: 'text', inputmode: 'decimal', size: 6, maxlength: 5, autocomplete: 'off',
        'aria-label': 'New price of grade ' + grade },
      data: { grade },
    });
    r.root = el('tr', { data: { grade } }, r.name, r.current,
      el('td', { data: { label: 'New price' } }, r.input));
    return r;
  }

  function updatePriceRow(r, grade) {
    const name = model.station.grades[String(grade)];
    setText(r.name, name ? name + ' (' + grade + ')' : 'grade ' + grade);
    const price = model.prices[String(grade)];
    setText(r.current, price === undefined ? 'none' : fixed(price));
    if (price !== undefined) r.input.placeholder = fixed(price);
  }

  function makePumpPrice(id) {
    const r = {};
    r.state = el('span', { className: 'badge' });
    r.list = el('span', { className: 'list' });
    r.reason = el('span', { className: 'reason' });
    r.root = el('li', { data: { pump: id } }, el('strong', { text: id }), r.state, r.list, r.reason);
    return r;
  }

  function updatePumpPrice(r, id) {
    const p = model.pumps.get(id);
    setData(r.root, 'priceState', p.price_state);
    setText(r.state, PriceLabels[p.price_state] || p.price_state);
    const sent = Array.isArray(p.prices) ? p.prices : [];
    setText(r.list, sent.length ? sent.map(fixed).join(' · ') : 'nothing sent yet');
    setText(r.reason, p.price_reason || '');
  }

  function renderPrices() {
    reconcile($('prices'), priceRows, gradeNumbers(), makePriceRow, updatePriceRow);
  }

  async function sendPrices(event) {
    event.preventDefault();
    const changes = {};
    const lines = [];
    for (const input of $('prices').querySelectorAll('input.new-price')) {
      const text = input.value.trim().replace(',', '.');
      if (!text) continue;
      const grade = input.dataset.grade;
      if (!/^\d{1,2}(\.\d{1,2})?$/.test(text)) {
        notify('Price of ' + gradeName(grade) + ': write 0.00 to 99.99, at most two decimals', 'error');
        input.focus();
        return;
      }
      changes[grade] = Number(text);
      const old = model.prices[grade];
      lines.push(gradeName(grade) + ': ' + (old === undefined ? 'none' : fixed(old)) + ' → ' + fixed(changes[grade]));
    }
    if (lines.length === 0) {
      notify('Type a new price for at least one grade', 'error');
      return;
    }
    if (!window.confirm('Send these prices to the pumps?\n\n' + lines.join('\n'))) return;
    const answer = await run($('send-prices'), 'New prices',
      () => command('PUT', '/prices', changes));
    if (answer) {
      model.prices = answer;
      for (const input of $('prices').querySelectorAll('input.new-price')) input.value = '';
      changed('prices');
      notify('New prices kept; each pump gets them once it is not fuelling (see Prices on the pumps)', 'ok');
    }
  }

  let pricesTimer = 0;
  // A pump's price state changed: the station's prices may have too.
  function rereadPrices() {
    clearTimeout(pricesTimer);
    pricesTimer = setTimeout(() => {
      read('/prices').then((r) => { model.prices = r.body; changed('prices'); }, () => {});
    }, 300);
  }

  // ---- Alarms ----------------------------------------------------------------

  const alarmRows = new Map();

  function alarmsSeen() {
    return Number(localStorage.getItem(AlarmsSeenKey)) || 0;
  }

  function alarmText(a) {
    return 'pump ' + a.pump + (a.nozzle ? ' nozzle ' + a.nozzle : '') + ': ' + fixed(a.volume) +
      ' l, ' + fixed(a.amount);
  }

  function makeAlarmRow(id) {
    const r = {};
    r.what = el('span', { className: 'what' });
    r.when = el('span', { className: 'when' });
    r.root = el('li', { data: { alarm: id } }, r.what, r.when);
    return r;
  }

  function updateAlarmRow(r, id) {
    const a = model.alarms.get(id);
    setText(r.what, alarmText(a));
    setText(r.when, timeText(a.at) + ' · ' + (AlarmKinds[a.kind] || a.kind));
    r.root.classList.toggle('new', id > alarmsSeen());
  }

  function renderAlarms() {
    const ids = [...model.alarms.keys()].sort((a, b) => b - a).slice(0, RecentAlarms);
    reconcile($('alarms'), alarmRows, ids, makeAlarmRow, updateAlarmRow);
    $('alarms-empty').hidden = ids.length > 0;
    // The banner stays until someone marks the alarms seen.
    const unseen = ids.filter((id) => id > alarmsSeen());
    $('alarm-banner').hidden = unseen.length === 0;
    if (unseen.length) {
      const newest = model.alarms.get(unseen[0]);
      const kind = AlarmKinds[newest.kind] || newest.kind;
      setText($('alarm-title'), kind.charAt(0).toUpperCase() + kind.slice(1) + ':');
      setText($('alarm-text'), alarmText(newest) + ' (' + timeText(newest.at) + ')' +
        (unseen.length > 1 ? ' and ' + (unseen.length - 1) + ' more' : ''));
    }
  }

  function markAlarmsSeen() {
    const newest = Math.max(0, ...model.alarms.keys());
    localStorage.setItem(AlarmsSeenKey, String(Math.max(newest, alarmsSeen())));
    changed('alarms');
  }

  function trimAlarms() {
    [...model.alarms.keys()].sort((a, b) => b - a).slice(RecentAlarms)
      .forEach((id) => model.alarms.delete(id));
  }

  // ---- Lines -----------------------------------------------------------------

  const lineRows = new Map();

  function figure(label, className) {
    const value = el('b', { className });
    return [el('span', { className: 'figure' }, el('span', { className: 'label', text: label + ' ' }), value), value];
  }

  function makeLineRow(number) {
    const r = {};
    const parts = [['Cycle', 'cycle'], ['Polls', 'polls'], ['Timeouts', 'timeouts'], ['Rejected', 'rejected']]
      .map(([label, name]) => {
        const [box, value] = figure(label, name);
        r[name] = value;
        return box;
      });
    r.error = el('p', { className: 'error-text' });
    r.root = el('li', { data: { line: number } },
      el('strong', { text: 'Line ' + number }), el('span', { className: 'figures' }, ...parts), r.error);
    return r;
  }

  function updateLineRow(r, number) {
    const l = model.lines.get(number);
    const cycle = typeof l.cycle_ms === 'number' ? l.cycle_ms : NaN;
    setText(r.cycle, Number.isFinite(cycle) ? cycle.toFixed(cycle < 10 ? 1 : 0) + ' ms' : '–');
    setText(r.polls, l.polls);
    setText(r.timeouts, l.timeouts);
    setText(r.rejected, l.rejected);
    setText(r.error, 'Last error: ' + (l.last_error ? l.last_error + ' (' + timeText(l.last_error_at) + ')' : 'none'));
    const at = l.last_error_at ? new Date(l.last_error_at).getTime() : 0;
    r.root.classList.toggle('recent-error', at > 0 && Date.now() - at < RecentErrorMs);
  }

  function renderLines() {
    const numbers = [...model.lines.keys()].sort((a, b) => a - b);
    reconcile($('lines'), lineRows, numbers, makeLineRow, updateLineRow);
  }

  // ---- Rendering -------------------------------------------------------------

  const dirty = new Set();
  let frame = 0;
  function changed(part) {
    dirty.add(part);
    if (!frame) frame = requestAnimationFrame(render);
  }

  function render() {
    frame = 0;
    if (dirty.has('station')) {
      setText($('station-name'), model.station.id);
      document.title = (model.station.id ? model.station.id + ' · ' : '') + 'de30 forecourt';
    }
    // Grade names appear everywhere.
    const all = dirty.has('station');
    if (all || dirty.has('pumps')) renderPumps();
    if (all || dirty.has('sales')) renderSales();
    if (all || dirty.has('prices')) renderPrices();
    if (dirty.has('lines')) renderLines();
    if (dirty.has('alarms')) renderAlarms();
    dirty.clear();
  }

  // ---- The event stream and the connection -----------------------------------

  let connection = 'connecting';
  function setConnection(state, detail) {
    connection = state;
    document.body.dataset.connection = state;
    setText($('connection'), { connecting: 'Connecting…', live: 'Live', lost: 'Connection lost' }[state]);
    $('lost-banner').hidden = state !== 'lost';
    if (detail) setText($('lost-detail'), detail + '. What is shown below may be out of date.');
  }

  function apply(kind, data) {
    if (kind === 'pump' || kind === 'price') {
      model.pumps.set(data.id, data);
      changed('pumps');
      if (kind === 'price') rereadPrices();
    } else if (kind === 'sale') {
      keepSale(data);
      trimSales();
      changed('sales');
      changed('pumps');
    } else if (kind === 'line') {
      model.lines.set(data.line, data);
      changed('lines');
    } else if (kind === 'alarm') {
      model.alarms.set(data.id, data);
      trimAlarms();
      changed('alarms');
    }
  }

  let source = null;
  let generation = 0;
  let retryMs = 1000;
  let retryTimer = 0;
  let lastMessageAt = 0;
  let waiting = null; // events that came while the state was being read
  let lastEventId = ''; // the id of the last event the stream brought ("RUN-SEQUENCE")
  let loaded = false; // the whole state has been read once

  function connect() {
    clearTimeout(retryTimer);
    if (source) source.close();
    const mine = ++generation;
    // A new stream starts after the last event this page saw: the service hands
    // over what was missed, or says "reset" when it cannot.
    const resume = loaded && lastEventId !== '';
    // An EventSource sends no headers: the token, if any, goes in the query.
    const query = new URLSearchParams();
    if (resume) query.set('last_event_id', lastEventId);
    const token = sessionStorage.getItem(TokenKey);
    if (token) query.set('access_token', token);
    source = new EventSource(Api + '/events' + (query.toString() ? '?' + query.toString() : ''));
    source.onopen = () => {
      if (mine !== generation) return;
      lastMessageAt = Date.now();
      if (resume) {
        retryMs = 1000;
        setConnection('live');
        return;
      }
      waiting = [];
      reload(mine);
    };
    source.onerror = () => {
      if (mine === generation) lose('the event stream ended');
    };
    for (const kind of ['pump', 'price', 'sale', 'line', 'alarm']) {
      source.addEventListener(kind, (event) => {
        if (mine !== generation) return;
        lastMessageAt = Date.now();
        if (event.lastEventId) lastEventId = event.lastEventId;
        const item = { kind, id: sequenceOf(event.lastEventId), data: JSON.parse(event.data) };
        if (waiting) waiting.push(item);
        else apply(item.kind, item.data);
      });
    }
    // Events were lost between two connections: what the page shows may be stale.
    // A read already under way started after the reset and covers it.
    source.addEventListener('reset', (event) => {
      if (mine !== generation) return;
      lastMessageAt = Date.now();
      if (event.lastEventId) lastEventId = event.lastEventId;
      if (waiting) return;
      waiting = [];
      reload(mine);
    });
  }

  function lose(why) {
    ++generation;
    if (source) source.close();
    source = null;
    waiting = null;
    setConnection('lost', 'The station service cannot be reached (' + why + ')');
    clearTimeout(retryTimer);
    retryTimer = setTimeout(connect, retryMs);
    retryMs = Math.min(retryMs * 2, RetryMaxMs);
  }

  // Reads the whole state, then applies the events that came meanwhile and are
  // newer than what each read saw.
  async function reload(mine) {
    try {
      const [station, pumps, prices, lines, alarms, recent, ...unpaid] = await Promise.all([
        read('/station'), read('/pumps'), read('/prices'), read('/lines'),
        read('/alarms?limit=' + RecentAlarms), read('/sales?limit=' + RecentSales),
        read('/sales?state=open'), read('/sales?state=payable'), read('/sales?state=locked'),
      ]);
      if (mine !== generation) return;
      model.station = station.body;
      model.pumps = new Map(pumps.body.map((p) => [p.id, p]));
      model.prices = prices.body;
      model.lines = new Map(lines.body.map((l) => [l.line, l]));
      model.alarms = new Map(alarms.body.map((a) => [a.id, a]));
      model.sales = new Map();
      const salesSeen = Math.min(recent.eventId, ...unpaid.map((r) => r.eventId));
      for (const r of [recent, ...unpaid]) r.body.forEach(keepSale);
      const seen = {
        pump: pumps.eventId, price: pumps.eventId, sale: salesSeen, line: lines.eventId, alarm: alarms.eventId,
      };
      for (const item of waiting || []) if (item.id > seen[item.kind]) apply(item.kind, item.data);
      waiting = null;
      trimSales();
      ['station', 'pumps', 'sales', 'prices', 'lines', 'alarms'].forEach(changed);
      loaded = true;
      retryMs = 1000;
      setConnection('live');
    } catch (error) {
      if (mine === generation) lose(error.message);
    }
  }

  function watchSilence() {
    if (connection === 'live' && Date.now() - lastMessageAt > SilenceMs) lose('no events for 30 s');
  }

  // ---- Start -----------------------------------------------------------------

  function start() {
    setUpTokenDialog();
    const client = $('client');
    client.value = localStorage.getItem(ClientKey) || 'dashboard';
    client.addEventListener('change', () => {
      localStorage.setItem(ClientKey, clientName());
      changed('sales');
    });
    $('unpaid-only').addEventListener('change', () => changed('sales'));
    $('price-form').addEventListener('submit', sendPrices);
    $('alarm-seen').addEventListener('click', markAlarmsSeen);
    $('stop-all').addEventListener('click', (event) => {
      run(event.currentTarget, 'Stop all pumps', () => command('POST', '/stop-all'));
    });
    setInterval(watchSilence, 5000);
    // Line rows age their "recent error" mark even when nothing new comes.
    setInterval(() => changed('lines'), 10000);
    connect();
  }

  start();
})();
