// The route page: the road network drawn from the served graph (no tile server,
// so it works offline), two pins, and the routes the service returns for them.
"use strict";

const STRESS_COLOURS = ["#9a9a9a", "#4daf4a", "#a6c940", "#f29e38", "#d7301f"];
// Colours, names and widths of the routes, the same as in the pictures (the
// package's velorin.style, served as style.js). Wider lines go below narrower
// ones, so that routes sharing a street all stay visible.
const ROUTE_STYLES = Object.fromEntries(Object.entries(VELORIN_STYLE.routes).map(
  ([type, s]) => [type, { colour: s.colour, weight: s.page_width, label: s.label }]));
const ROUTE_TYPES = VELORIN_STYLE.order;

// Without zoom animation the network canvas never shows at the wrong scale.
const map = L.map("map", { preferCanvas: true, zoomSnap: 0.25, maxZoom: 20, zoomAnimation: false });
// The extract's water and parks under the streets, the place names over them
// and under the routes (in Leaflet's overlay pane, at 400).
for (const [name, z] of [["background", 370], ["network", 380], ["labels", 390]]) {
  const pane = map.createPane(name);
  pane.style.zIndex = z;
  pane.style.pointerEvents = "none";
}
L.control.scale({ imperial: false }).addTo(map);
map.attributionControl.setPrefix("");

const statusLine = document.getElementById("status");
const table = document.getElementById("routes");
const note = document.getElementById("note");
const epsChoice = document.getElementById("eps");
let start = null;
let finish = null;
let drawn = [];          // layers of the current answer
let routeLayers = {};    // route type -> polyline
let pending = null;      // AbortController of the request in flight
let draggedJustNow = false;

function setState(state, message, isError = false) {
  document.body.dataset.state = state;
  statusLine.textContent = message;
  statusLine.classList.toggle("error", isError);
}

function pin(latlng, kind, text) {
  const icon = L.divIcon({ className: `pin pin-${kind}`, html: text, iconSize: [22, 22] });
  const marker = L.marker(latlng, { icon, draggable: true, keyboard: false }).addTo(map);
  marker.on("dragend", () => {
    // The browser follows the mouse-up that ends a drag with a click on the
    // element below both ends: the map, which would take it for a new start.
    draggedJustNow = true;
    setTimeout(() => { draggedJustNow = false; }, 0);
    requestRoutes();
  });
  return marker;
}

// The streets, tens of thousands of segments, drawn on one canvas of our own
// (see layers.js): one path per stress level, from positions projected once.
const NetworkLayer = CanvasLayer.extend({
  initialize(network, options) {
    L.setOptions(this, options);
    this._levels = network.features.map((f) => {
      const lines = f.geometry.coordinates;
      const xy = new Float64Array(lines.length * 4);
      lines.forEach(([[lon0, lat0], [lon1, lat1]], i) => {
        const a = project(lon0, lat0);
        const b = project(lon1, lat1);
        xy.set([a.x, a.y, b.x, b.y], i * 4);
      });
      return { colour: STRESS_COLOURS[f.properties.lts || 0], xy };
    });
  },
  draw(ctx, scale, origin, zoom) {
    ctx.lineWidth = zoom >= 16 ? 2.5 : 1.5;
    for (const { colour, xy } of this._levels) {
      ctx.beginPath();
      for (let i = 0; i < xy.length; i += 4) {
        ctx.moveTo(xy[i] * scale - origin.x, xy[i + 1] * scale - origin.y);
        ctx.lineTo(xy[i + 2] * scale - origin.x, xy[i + 3] * scale - origin.y);
      }
      ctx.strokeStyle = colour;
      ctx.stroke();
    }
  },
  bounds() {
    const b = L.bounds([]);
    for (const { xy } of this._levels) {
      for (let i = 0; i < xy.length; i += 2) b.extend(L.point(xy[i], xy[i + 1]));
    }
    return b.isValid() ? L.latLngBounds(L.CRS.EPSG3857.pointToLatLng(b.min, 0),
                                        L.CRS.EPSG3857.pointToLatLng(b.max, 0)) : null;
  },
});

async function loadNetwork() {
  setState("loading", "Loading the road network…");
  try {
    const [health, network, background] = await Promise.all(
      [getJson("health"), getJson("network"), getJson("background").catch(() => null)]);
    document.getElementById("map-name").textContent = health.map;
    document.title = `velorin: ${health.map}`;
    const layer = new NetworkLayer(network, { pane: "network" });
    const bounds = layer.bounds();
    if (bounds) map.fitBounds(bounds, { padding: [10, 10] });
    else map.setView([0, 0], 2);
    if (background) new BackgroundLayer(background, { pane: "background" }).addTo(map);
    layer.addTo(map);
    if (background) new LabelLayer(background, { pane: "labels" }).addTo(map);
    if (!network.features.some((f) => f.properties.lts)) {
      document.getElementById("legend").hidden = true;
    }
    setState("ready", `${health.nodes.toLocaleString("en")} nodes, ` +
      `${health.arcs.toLocaleString("en")} arcs. Click to set the start.`);
  } catch (err) {
    setState("error", `Could not load the road network: ${err.message}`, true);
  }
}

async function getJson(url, options) {
  const response = await fetch(url, options);
  let body;
  try {
    body = await response.json();
  } catch (_) {
    throw new Error(`the server answered ${response.status} ${response.statusText}`);
  }
  if (!response.ok) {
    const err = new Error(body && body.error ? body.error : `the server answered ${response.status}`);
    err.body = body;
    throw err;
  }
  return body;
}

map.on("click", (e) => {
  if (draggedJustNow) return;
  if (!start || finish) {
    if (pending) { pending.abort(); pending = null; }
    clearAnswer();
    if (finish) { map.removeLayer(finish); finish = null; }
    if (start) map.removeLayer(start);
    start = pin(e.latlng, "start", "A");
    placeChosen("start", null);
    placeChosen("finish", null);
    setState("ready", "Now click the finish.");
    return;
  }
  finish = pin(e.latlng, "finish", "B");
  placeChosen("finish", null);
  requestRoutes();
});

// A place chosen in a search box (see search.js): its pin moves there.
function setPin(kind, latlng) {
  if (pending) { pending.abort(); pending = null; }
  clearAnswer();
  if (kind === "start") {
    if (start) map.removeLayer(start);
    start = pin(latlng, "start", "A");
  } else {
    if (finish) map.removeLayer(finish);
    finish = pin(latlng, "finish", "B");
  }
  const shown = [start, finish].filter(Boolean).map((m) => m.getLatLng());
  if (shown.length === 2) map.fitBounds(L.latLngBounds(shown), { padding: [60, 60], maxZoom: 16 });
  else map.setView(latlng, Math.max(map.getZoom(), 15));
  if (start && finish) requestRoutes();
  else setState("ready", start ? "Now choose or click the finish." : "Now choose or click the start.");
}

// Set by search.js: tells the search boxes that a pin was placed some other way.
let placeChosen = () => {};

// Which pin a refused point is: the service says where the point lies.
function offMapPin(body) {
  if (!body || body.lat === undefined || body.lat === null) return null;
  for (const [marker, name] of [[start, "start"], [finish, "end"]]) {
    if (!marker) continue;
    const p = marker.getLatLng();
    if (Math.abs(p.lat - body.lat) < 2e-6 && Math.abs(p.lng - body.lon) < 2e-6) return name;
  }
  return null;
}

function metres(m) {
  return m < 1000 ? `${Math.round(m)} m` : `${(m / 1000).toFixed(1)} km`;
}
epsChoice.addEventListener("change", () => { if (start && finish) requestRoutes(); });

function place(marker) {
  const p = marker.getLatLng();
  return `${p.lat.toFixed(6)},${p.lng.toFixed(6)}`;
}

async function requestRoutes() {
  if (!start || !finish) return;
  if (pending) pending.abort();
  const controller = new AbortController();
  pending = controller;
  setState("routing", "Searching for routes…");
  const query = new URLSearchParams(
    { from: place(start), to: place(finish), eps: epsChoice.value });
  try {
    const answer = await getJson(`route?${query}`, { signal: controller.signal });
    if (pending !== controller) return;
    showRoutes(answer);
  } catch (err) {
    if (err.name === "AbortError") return;
    clearAnswer();
    const which = offMapPin(err.body);
    if (which && Number.isFinite(err.body.distance_m)) {
      setState("error", `The ${which} pin is off the map: it lies ` +
        `${metres(err.body.distance_m)} from the nearest street that routes can use. ` +
        "Drag it onto the coloured streets.", true);
    } else {
      setState("error", which ? `The ${which} pin is off the map: ${err.message}` : err.message,
        true);
    }
  } finally {
    if (pending === controller) pending = null;
  }
}

// The route whose directions are listed.
function selectRoute(answer, type) {
  for (const row of table.tBodies[0].rows) {
    row.classList.toggle("selected", row.dataset.routeType === type);
  }
  const feature = answer.features.find((f) => f.properties.route_type === type);
  if (feature) showDirections(feature, routeLabel(feature.properties), ROUTE_STYLES[type].colour);
}

function clearAnswer() {
  if (typeof clearDirections === "function") clearDirections();
  drawn.forEach((layer) => map.removeLayer(layer));
  drawn = [];
  routeLayers = {};
  table.hidden = true;
  table.tBodies[0].replaceChildren();
  note.textContent = "";
}

function showRoutes(answer) {
  clearAnswer();
  // Dashed lines from the pins to the nodes the routes start and end at.
  for (const [marker, end] of [[start, answer.origin], [finish, answer.destination]]) {
    if (end.snap_m > 1) {
      drawn.push(L.polyline([marker.getLatLng(), [end.lat, end.lon]],
        { color: "#444", weight: 2, dashArray: "4 4", interactive: false }).addTo(map));
    }
  }
  const features = answer.features.slice().sort(
    (a, b) => ROUTE_STYLES[b.properties.route_type].weight -
              ROUTE_STYLES[a.properties.route_type].weight);
  for (const feature of features) {
    const type = feature.properties.route_type;
    const style = ROUTE_STYLES[type];
    const line = L.geoJSON(feature, {
      style: { color: style.colour, weight: style.weight, opacity: 0.85, lineJoin: "round" },
    }).addTo(map);
    routeLayers[type] = line;
    drawn.push(line);
  }
  const body = table.tBodies[0];
  for (const feature of answer.features) {
    const p = feature.properties;
    const style = ROUTE_STYLES[p.route_type];
    const row = body.insertRow();
    row.dataset.routeType = p.route_type;
    const name = row.insertCell();
    const dot = document.createElement("span");
    dot.className = "dot";
    dot.style.background = style.colour;
    name.append(dot, routeLabel(p));
    for (const text of [`${(p.total_distance_m / 1000).toFixed(2)} km`, ridingTime(p),
                        climb(p),
                        riskPerKm(p).toFixed(3)]) {
      row.insertCell().textContent = text;
    }
    row.addEventListener("mouseenter", () => highlight(p.route_type));
    row.addEventListener("mouseleave", () => highlight(null));
    row.addEventListener("click", () => selectRoute(answer, p.route_type));
  }
  table.hidden = false;
  // The safest route's directions first: the route this page is for.
  const safest = answer.features.find((f) => namesOf(f.properties).includes("safest"));
  selectRoute(answer, (safest || answer.features[0]).properties.route_type);
  note.textContent = coincidence(answer.features.map((f) => f.properties));
  const count = answer.features.length;
  setState("routed", `${count} route${count === 1 ? "" : "s"} found. Hover a row to see its ` +
    "route; drag a pin to move it, or click to start again.");
}

// The rider's time on the map's profile; the engine's own figure is a
// walking pace (4 km/h), shown only for a service that has no riding time.
function ridingTime(p) {
  if (!Number.isFinite(p.riding_time_min)) return `${p.estimated_time_min.toFixed(0)} min walking`;
  const minutes = Math.round(p.riding_time_min);
  return minutes < 60 ? `${minutes} min` : `${Math.floor(minutes / 60)} h ${String(minutes % 60).padStart(2, "0")}`;
}

// Metres climbed, where the map knows heights (an elevation raster or incline tags).
function climb(p) {
  if (!Number.isFinite(p.ascent_m) || p.elevation_source === "none") return "–";
  return `${Math.round(p.ascent_m)} m`;
}

function riskPerKm(p) {
  if (Number.isFinite(p.risk_per_km)) return p.risk_per_km;
  return p.total_distance_m > 0 ? p.total_risk / (p.total_distance_m / 1000) : 0;
}

// Every name a route answers ("safest" and "balanced" when the two coincide).
function namesOf(p) {
  return p.names && p.names.length ? p.names : [p.route_type];
}

function routeLabel(p) {
  const names = namesOf(p).map((n) => ROUTE_STYLES[n] ? ROUTE_STYLES[n].label : n);
  return names.map((n, i) => (i ? n.toLowerCase() : n)).join(" = ");
}

// The service leaves out a route whose path repeats an earlier one: say so,
// in the pictures' words where the routes name the picks they answer.
function coincidence(routes) {
  const notes = [];
  for (const { route_type: type, names } of routes) {
    for (const name of (names || []).filter((n) => n !== type)) {
      notes.push(VELORIN_STYLE.coincides.replace("{name}", name).replace("{other}", type));
    }
  }
  if (notes.length) return notes.join("; ");
  const types = routes.map((r) => r.route_type);
  if (types.length === 1) return "The shortest, safest and balanced routes are the same route.";
  if (!types.includes("safest")) return "The safest route is the same as the shortest one.";
  if (!types.includes("balanced")) {
    return "The balanced route is the same as the shortest or the safest one.";
  }
  return "";
}

function highlight(type) {
  for (const [t, layer] of Object.entries(routeLayers)) {
    const style = ROUTE_STYLES[t];
    const on = t === type;
    layer.setStyle({ opacity: type && !on ? 0.2 : 0.85,
                     weight: on ? style.weight + 3 : style.weight });
    if (on) layer.bringToFront();
  }
  if (!type) {
    ROUTE_TYPES.filter((t) => routeLayers[t])
      .sort((a, b) => ROUTE_STYLES[b].weight - ROUTE_STYLES[a].weight)
      .forEach((t) => routeLayers[t].bringToFront());
  }
  for (const row of table.tBodies[0].rows) {
    row.classList.toggle("active", row.dataset.routeType === type);
  }
}

loadNetwork();
