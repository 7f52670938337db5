// SPDX-License-Identifier: MIT
// The live page: reads /events (one status document per change, a "call" event when the history
// logged a call) and /calls.json, and draws what they say. Router texts go in as text, never
// as markup.
'use strict';

const TEXTS = {
    en: {
        router: 'Router', name: 'Name', firmware: 'Firmware', address: 'Address', ethernet: 'Ethernet',
        ethSent: 'Ethernet packets sent', ethReceived: 'Ethernet packets received', collisions: 'Collisions',
        outcall: 'Total outgoing call time', monitorUp: 'Monitor running for', totals: 'Call time',
        today: 'Today', month: 'This month', calls: 'Latest calls', started: 'Started', channel: 'Channel',
        kind: 'Kind', remote: 'Remote', duration: 'Duration', speed: 'Speed', tx: 'Packets sent',
        rx: 'Packets received', errors: 'Errors', upTime: 'Up time', callerId: 'Caller ID',
        usage: (c, a) => `Line usage ${c} % (average ${a} %)`,
        graph: (n) => `${n}: line usage over the last 90 seconds, in percent`,
        states: { down: 'down', idle: 'idle', voice: 'voice call', data: 'data call', no_data: 'no data' },
        conn: {
            status_screen: 'Live: the router\u2019s status screen is shown',
            relaying: 'A remote telnet user is attached; figures follow while the router repaints',
            connected: 'Connected, logging in to the router\u2026',
            connecting: 'Connecting to the router\u2026',
            not_connected: 'Not connected to the router',
            password_rejected: 'The router rejected the password; the monitor waits until you connect again',
        },
        reconnectIn: (s, why) => `Reconnecting to the router in ${s} s` + (why ? ` (${why})` : ''),
        reconnectNow: (n) => `Reconnecting to the router, attempt ${n}\u2026`,
        streamLost: 'Connection to the monitor lost; reconnecting\u2026',
        waiting: 'Waiting for the first figures\u2026',
        daysTitle: (d) => `Call time per day over the last 31 days; most on one day: ${d}`,
        callsSummary: (n, d) => `${n} ${n === 1 ? 'call' : 'calls'}, ${d}`,
        noCalls: 'No calls logged yet.',
        callsOff: 'The call history is switched off in the settings ([Logging] Enabled=0).',
        callsWithheld: 'The call history is only shown on the monitor\u2019s own machine, or with a web password.',
        callsFailed: 'The call history could not be read.',
        atLeast: 'More calls than one answer holds: the totals count the newest 1,000.',
        kinds: { data: 'data', voice: 'voice', in: 'in', out: 'out' },
        none: 'none', withheld: 'withheld', version: 'version',
    },
    de: {
        router: 'Router', name: 'Name', firmware: 'Firmware', address: 'Adresse', ethernet: 'Ethernet',
        ethSent: 'Ethernet-Pakete gesendet', ethReceived: 'Ethernet-Pakete empfangen', collisions: 'Kollisionen',
        outcall: 'Gesamtdauer abgehender Verbindungen', monitorUp: 'Monitor läuft seit', totals: 'Verbindungszeit',
        today: 'Heute', month: 'Dieser Monat', calls: 'Letzte Verbindungen', started: 'Beginn', channel: 'Kanal',
        kind: 'Art', remote: 'Gegenstelle', duration: 'Dauer', speed: 'Geschwindigkeit', tx: 'Pakete gesendet',
        rx: 'Pakete empfangen', errors: 'Fehler', upTime: 'Verbunden seit', callerId: 'Rufnummer',
        usage: (c, a) => `Leitungsauslastung ${c} % (im Mittel ${a} %)`,
        graph: (n) => `${n}: Leitungsauslastung der letzten 90 Sekunden in Prozent`,
        states: { down: 'getrennt', idle: 'frei', voice: 'Telefonat', data: 'Datenverbindung', no_data: 'keine Daten' },
        conn: {
            status_screen: 'Live: Der Statusbildschirm des Routers wird angezeigt',
            relaying: 'Ein Telnet-Benutzer ist verbunden; die Werte folgen, sobald der Router neu zeichnet',
            connected: 'Verbunden, Anmeldung am Router\u2026',
            connecting: 'Verbindung zum Router wird aufgebaut\u2026',
            not_connected: 'Nicht mit dem Router verbunden',
            password_rejected: 'Der Router hat das Passwort abgelehnt; der Monitor wartet, bis Sie neu verbinden',
        },
        reconnectIn: (s, why) => `Neuer Verbindungsversuch in ${s} s` + (why ? ` (${why})` : ''),
        reconnectNow: (n) => `Verbindung zum Router wird wiederhergestellt, Versuch ${n}\u2026`,
        streamLost: 'Verbindung zum Monitor unterbrochen; neuer Versuch läuft\u2026',
        waiting: 'Warte auf die ersten Werte\u2026',
        daysTitle: (d) => `Verbindungszeit je Tag in den letzten 31 Tagen; höchster Tageswert: ${d}`,
        callsSummary: (n, d) => `${n} ${n === 1 ? 'Verbindung' : 'Verbindungen'}, ${d}`,
        noCalls: 'Noch keine Verbindungen aufgezeichnet.',
        callsOff: 'Die Verbindungsliste ist in den Einstellungen ausgeschaltet ([Logging] Enabled=0).',
        callsWithheld: 'Die Verbindungsliste wird nur auf dem Rechner des Monitors oder mit Web-Passwort angezeigt.',
        callsFailed: 'Die Verbindungsliste konnte nicht gelesen werden.',
        atLeast: 'Mehr Verbindungen, als eine Antwort fasst: Die Summen zählen die neuesten 1.000.',
        kinds: { data: 'Daten', voice: 'Telefon', in: 'ankommend', out: 'abgehend' },
        none: 'keine', withheld: 'verborgen', version: 'Version',
    },
};

const lang = document.documentElement.lang === 'de' ? 'de' : 'en';
const T = TEXTS[lang];
const numbers = new Intl.NumberFormat(lang);
const SVG = 'http://www.w3.org/2000/svg';
const byId = (id) => document.getElementById(id);
const meta = (name) => (document.querySelector(`meta[name="${name}"]`) || { content: '' }).content;

function setText(el, text) {
    if (el && el.textContent !== text)
        el.textContent = text;
}

function duration(seconds) {
    if (seconds === null || seconds === undefined)
        return '\u2013';
    const h = Math.floor(seconds / 3600), m = Math.floor((seconds % 3600) / 60), s = seconds % 60;
    if (h > 0)
        return `${numbers.format(h)} h ${String(m).padStart(2, '0')} min`;
    return m > 0 ? `${m} min ${String(s).padStart(2, '0')} s` : `${s} s`;
}

function svg(parent, name, attrs, text) {
    const el = document.createElementNS(SVG, name);
    for (const [k, v] of Object.entries(attrs))
        el.setAttribute(k, String(v));
    if (text !== undefined)
        el.textContent = text;
    parent.appendChild(el);
    return el;
}

// The plot's frame inside the 300 x 150 view box: room for the axis labels left and below.
const PLOT = { x: 58, y: 10, w: 234, h: 110 };

function drawGraph(box, history) {
    const title = box.querySelector('title');
    while (box.lastChild !== title)
        box.removeChild(box.lastChild);
    svg(box, 'rect', { class: 'plot', x: PLOT.x, y: PLOT.y, width: PLOT.w, height: PLOT.h });
    for (const p of [0, 50, 100]) {
        const y = PLOT.y + PLOT.h - (p / 100) * PLOT.h;
        svg(box, 'line', { class: 'axis', x1: PLOT.x - 4, x2: PLOT.x + PLOT.w, y1: y, y2: y });
        svg(box, 'text', { x: PLOT.x - 6, y: y + 5, 'text-anchor': 'end' }, `${p} %`);
    }
    const labels = [[0, '\u221290 s'], [0.5, '\u221245 s'], [1, lang === 'de' ? 'jetzt' : 'now']];
    for (const [f, text] of labels)
        svg(box, 'text', { x: PLOT.x + f * PLOT.w, y: 142, 'text-anchor': f === 0 ? 'start' : f === 1 ? 'end' : 'middle' }, text);
    const n = history.length;
    if (n < 2)
        return;
    const points = history.map((v, i) => {
        const x = PLOT.x + (i / (n - 1)) * PLOT.w;
        const y = PLOT.y + PLOT.h - (Math.max(0, Math.min(100, v)) / 100) * PLOT.h;
        return `${x.toFixed(1)},${y.toFixed(1)}`;
    });
    svg(box, 'polyline', { class: 'line', points: points.join(' ') });
}

const colors = meta('lw-colors').split(' ');
const channels = {};

function makeChannel(index) {
    const name = `B${index + 1}`;
    const card = byId(name);
    card.appendChild(byId('channel-template').content.cloneNode(true));
    card.querySelector('h2').id = `${name}-h`;
    setText(card.querySelector('.ch-name'), name);
    const c = colors.slice(index * 4, index * 4 + 4);
    const vars = ['--line', '--plot-bg', '--gauge', '--gauge-bg'];
    vars.forEach((v, k) => { if (/^#[0-9a-f]{6}$/.test(c[k] || '')) card.style.setProperty(v, c[k]); });
    const field = (cls) => card.querySelector(cls);
    for (const cls of ['speed', 'tx', 'rx', 'errors', 'up', 'ip', 'clid'])
        field(`.f-${cls}`).id = `${name}-${cls}`;
    const graph = field('.graph');
    setText(graph.querySelector('title'), T.graph(name));
    channels[name] = {
        state: field('.ch-state'), gauge: field('.gauge'), bar: field('.gauge-bar'), label: field('.gauge-label'),
        graph, history: '',
    };
}

function showChannel(ch, withheld) {
    const view = channels[ch.name];
    if (!view)
        return;
    setText(view.state, T.states[ch.state] || ch.link);
    view.state.className = `badge ch-state s-${ch.state}`;
    const alu = Math.max(0, Math.min(100, ch.alu));
    view.bar.style.width = `${alu}%`;
    view.gauge.setAttribute('aria-valuenow', String(alu));
    view.gauge.setAttribute('aria-label', T.usage(ch.clu, ch.alu));
    setText(view.label, T.usage(ch.clu, ch.alu));
    setText(byId(`${ch.name}-speed`), `${numbers.format(ch.speed_kbps)} kbit/s`);
    setText(byId(`${ch.name}-tx`), numbers.format(ch.tx));
    setText(byId(`${ch.name}-rx`), numbers.format(ch.rx));
    setText(byId(`${ch.name}-errors`), numbers.format(ch.errors));
    setText(byId(`${ch.name}-up`), ch.up_time);
    setText(byId(`${ch.name}-ip`), ch.ip);
    setText(byId(`${ch.name}-clid`), withheld ? T.withheld : ch.clid || T.none);
    const key = ch.usage_history.join(',');
    if (key !== view.history) {
        view.history = key;
        drawGraph(view.graph, ch.usage_history);
    }
}

function connectionText(s) {
    const r = s.reconnect;
    if (r.password_rejected)
        return [T.conn.password_rejected, 'failed'];
    if (r.reconnecting)
        return r.waiting ? [T.reconnectIn(r.next_attempt_in_seconds, r.reason), 'waiting']
            : [T.reconnectNow(r.attempt), 'waiting'];
    const state = s.connection.state;
    const kind = state === 'status_screen' || state === 'relaying' ? 'live' : state === 'not_connected' ? 'failed' : 'waiting';
    return [T.conn[state] || state, kind];
}

let startMs = 0, nowOffset = 0;

function showStatus(s) {
    byId('main').hidden = false;
    const [text, kind] = connectionText(s);
    const conn = byId('conn');
    setText(conn, text);
    conn.className = `conn ${kind}`;
    conn.dataset.state = s.reconnect.reconnecting ? 'reconnecting' : s.connection.state;
    const routerName = s.router.name;
    setText(byId('title'), routerName && routerName !== 'No Data' ? `${routerName} \u2013 linewatch` : 'linewatch');
    document.title = byId('title').textContent;
    for (const ch of s.channels)
        showChannel(ch, s.caller_ids_withheld);
    setText(byId('router-name'), s.router.name);
    setText(byId('router-firmware'), s.router.firmware);
    setText(byId('router-ip'), s.router.ip_address);
    setText(byId('eth-status'), s.ethernet.status);
    setText(byId('eth-sent'), numbers.format(s.ethernet.sent));
    setText(byId('eth-received'), numbers.format(s.ethernet.received));
    setText(byId('eth-collisions'), numbers.format(s.ethernet.collisions));
    setText(byId('outcall'), s.total_outcall_time);
    setText(byId('version'), `linewatch ${T.version} ${s.version}`);
    startMs = s.monitor.start_time_ms;
    nowOffset = s.time_ms - Date.now();
    showUptime();
}

function showUptime() {
    if (startMs)
        setText(byId('monitor-up'), duration(Math.max(0, Math.floor((Date.now() + nowOffset - startMs) / 1000))));
}

// The call history: the newest calls, and per-day totals of the last 31 days.
function isoSeconds(date) {
    return date.toISOString().replace(/\.\d{3}Z$/, 'Z');
}

function dayKey(date) {
    return `${date.getFullYear()}-${date.getMonth() + 1}-${date.getDate()}`;
}

function drawDays(days, todayKey) {
    const box = byId('days');
    const title = box.querySelector('title');
    while (box.lastChild !== title)
        box.removeChild(box.lastChild);
    const most = Math.max(60, ...days.map((d) => d.seconds));
    setText(title, T.daysTitle(duration(most)));
    const plot = { x: 4, y: 8, w: 292, h: 112 };
    svg(box, 'line', { class: 'axis', x1: plot.x, x2: plot.x + plot.w, y1: plot.y + plot.h, y2: plot.y + plot.h });
    const step = plot.w / days.length;
    days.forEach((d, i) => {
        const h = (d.seconds / most) * plot.h;
        const bar = svg(box, 'rect', {
            x: plot.x + i * step + 1, y: plot.y + plot.h - h, width: Math.max(1, step - 2), height: h,
            class: d.key === todayKey ? 'today' : '',
        });
        svg(bar, 'title', {}, `${d.label}: ${duration(d.seconds)}`);
    });
    const fmt = new Intl.DateTimeFormat(lang, { day: 'numeric', month: 'short' });
    svg(box, 'text', { x: plot.x, y: 142 }, fmt.format(days[0].date));
    svg(box, 'text', { x: plot.x + plot.w, y: 142, 'text-anchor': 'end' }, fmt.format(days[days.length - 1].date));
}

function showCalls(answer) {
    const now = new Date();
    const days = [];
    for (let k = 30; k >= 0; --k) {
        const date = new Date(now.getFullYear(), now.getMonth(), now.getDate() - k);
        days.push({ date, key: dayKey(date), label: date.toLocaleDateString(lang), seconds: 0 });
    }
    const byDay = new Map(days.map((d) => [d.key, d]));
    const todayKey = dayKey(now);
    let today = [0, 0], month = [0, 0];
    for (const call of answer.calls) {
        const start = new Date(call.start);
        const day = byDay.get(dayKey(start));
        if (day)
            day.seconds += call.duration_s;
        if (dayKey(start) === todayKey)
            today = [today[0] + 1, today[1] + call.duration_s];
        if (start.getFullYear() === now.getFullYear() && start.getMonth() === now.getMonth())
            month = [month[0] + 1, month[1] + call.duration_s];
    }
    setText(byId('total-today'), T.callsSummary(today[0], duration(today[1])));
    setText(byId('total-month'), T.callsSummary(month[0], duration(month[1])));
    setText(byId('totals-note'), answer.more ? T.atLeast : '');
    drawDays(days, todayKey);
    const body = byId('calls-body');
    const rows = answer.calls.slice(0, 10).map((call) => {
        const tr = document.createElement('tr');
        const start = new Date(call.start);
        // Date and time as two pieces, so that a phone stacks them rather than cutting a number.
        const cells = [[start.toLocaleDateString(lang, { dateStyle: 'short' }),
            start.toLocaleTimeString(lang, { timeStyle: 'short' })],
            [`B${call.channel}`], [`${T.kinds[call.kind]}, ${T.kinds[call.direction]}`], [call.remote],
            [duration(call.duration_s)]];
        for (const pieces of cells) {
            const td = document.createElement('td');
            pieces.forEach((text, k) => {
                const span = document.createElement('span');
                span.textContent = text;
                td.append(...(k ? [' ', span] : [span]));
            });
            tr.appendChild(td);
        }
        return tr;
    });
    body.replaceChildren(...rows);
    byId('calls-table').hidden = rows.length === 0;
    setText(byId('calls-note'), rows.length === 0 ? T.noCalls : '');
}

let callsPending = false;

function loadCalls() {
    const mode = meta('lw-calls');
    if (mode !== 'yes') {
        setText(byId('calls-note'), mode === 'off' ? T.callsOff : T.callsWithheld);
        setText(byId('totals-note'), mode === 'off' ? T.callsOff : T.callsWithheld);
        return;
    }
    // One request at a time: a burst of logged calls costs one more read, not one each.
    if (callsPending)
        return;
    callsPending = true;
    const now = new Date();
    const since = new Date(now.getFullYear(), now.getMonth(), Math.min(1, now.getDate() - 30));
    fetch(`/calls.json?limit=1000&since=${encodeURIComponent(isoSeconds(since))}`, { cache: 'no-store' })
        .then((r) => (r.ok ? r.json() : Promise.reject(new Error(String(r.status)))))
        .then(showCalls)
        .catch(() => setText(byId('calls-note'), T.callsFailed))
        .finally(() => { callsPending = false; });
}

function start() {
    makeChannel(0);
    makeChannel(1);
    for (const el of document.querySelectorAll('[data-t]'))
        el.textContent = T[el.dataset.t];
    setText(byId('conn'), T.waiting);
    const events = new EventSource('/events');
    events.addEventListener('status', (e) => showStatus(JSON.parse(e.data)));
    events.addEventListener('call', loadCalls);
    events.addEventListener('open', () => document.body.classList.remove('stream-lost'));
    events.addEventListener('error', () => {
        const conn = byId('conn');
        setText(conn, T.streamLost);
        conn.className = 'conn waiting';
        conn.dataset.state = 'reconnecting';
        document.body.classList.add('stream-lost');
    });
    loadCalls();
    setInterval(showUptime, 1000);
}

start();
