// The route page: the road network drawn from the served graph (no tile server,
// so it works offline), two pins, and the routes the service returns for them.
"use strict";

const STRESS_COLOURS = ["#9a9a9a", "#4daf4a", "#a6c940", "#f29e38", "#d7301f"];
// Wider lines below narrower ones, so that routes sharing a street all stay visible.
const ROUTE_STYLES = {
  shortest: { colour: "#1f5fd6", weight: 10, label: "Shortest" },
  safest: { colour: "#00897b", weight: 7, label: "Safest" },
  balanced: { colour: "#8e24aa", weight: 4, label: "Balanced" },
};
const ROUTE_TYPES = Object.keys(ROUTE_STYLES);

// Without zoom animation the network canvas never shows at the wrong scale.
const map = L.map("map", { preferCanvas: true, zoomSnap: 0.25, maxZoom: 20, zoomAnimation: false });
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

// The streets, tens of thousands of segments, drawn on one canvas of our own:
// one path per stress level, from positions projected once, redrawn whenever
// the view settles. Leaflet's own vector layers would clip and simplify every
// segment on every frame, which takes seconds on a country's network.
const NetworkLayer = L.Layer.extend({
  initialize(network) {
    this._levels = network.features.map((f) => {
      const lines = f.geometry.coordinates;
      const xy = new Float64Array(lines.length * 4);
      lines.forEach(([[lon0, lat0], [lon1, lat1]], i) => {
        const a = L.CRS.EPSG3857.latLngToPoint(L.latLng(lat0, lon0), 0);
        const b = L.CRS.EPSG3857.latLngToPoint(L.latLng(lat1, lon1), 0);
        xy.set([a.x, a.y, b.x, b.y], i * 4);
      });
      return { colour: STRESS_COLOURS[f.properties.lts || 0], xy };
    });
  },
  onAdd(map) {
    this._canvas = L.DomUtil.create("canvas", "network-canvas", map.getPanes().overlayPane);
    map.on("moveend zoomend resize viewreset", this._redraw, this);
    this._redraw();
  },
  onRemove(map) {
    map.off("moveend zoomend resize viewreset", this._redraw, this);
    L.DomUtil.remove(this._canvas);
  },
  _redraw() {
    const map = this._map;
    const size = map.getSize();
    const pad = size.multiplyBy(0.3).round();  // drawn beyond the edges, for panning
    const topLeft = map.containerPointToLayerPoint([0, 0]).subtract(pad);
    const width = size.x + 2 * pad.x;
    const height = size.y + 2 * pad.y;
    const ratio = window.devicePixelRatio || 1;
    const canvas = this._canvas;
    canvas.width = width * ratio;
    canvas.height = height * ratio;
    canvas.style.width = `${width}px`;
    canvas.style.height = `${height}px`;
    L.DomUtil.setPosition(canvas, topLeft);
    const ctx = canvas.getContext("2d");
    ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    const scale = map.options.crs.scale(map.getZoom()) / map.options.crs.scale(0);
    const origin = map.getPixelOrigin().add(topLeft);
    ctx.lineWidth = map.getZoom() >= 16 ? 2.5 : 1.5;
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
    const [health, network] = await Promise.all([getJson("health"), getJson("network")]);
    document.getElementById("map-name").textContent = health.map;
    document.title = `velorin: ${health.map}`;
    const layer = new NetworkLayer(network);
    const bounds = layer.bounds();
    if (bounds) map.fitBounds(bounds, { padding: [10, 10] });
    else map.setView([0, 0], 2);
    layer.addTo(map);
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
    throw new Error(body && body.error ? body.error : `the server answered ${response.status}`);
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
    setState("ready", "Now click the finish.");
    return;
  }
  finish = pin(e.latlng, "finish", "B");
  requestRoutes();
});
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
    setState("error", err.message, true);
  } finally {
    if (pending === controller) pending = null;
  }
}

function clearAnswer() {
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
    name.append(dot, style.label);
    for (const text of [`${(p.total_distance_m / 1000).toFixed(2)} km`, p.total_risk.toFixed(3),
                        `${p.estimated_time_min.toFixed(1)} min`, p.comfort_score.toFixed(3)]) {
      row.insertCell().textContent = text;
    }
    row.addEventListener("mouseenter", () => highlight(p.route_type));
    row.addEventListener("mouseleave", () => highlight(null));
  }
  table.hidden = false;
  note.textContent = coincidence(answer.features.map((f) => f.properties.route_type));
  const count = answer.features.length;
  setState("routed", `${count} route${count === 1 ? "" : "s"} found. Hover a row to see its ` +
    "route; drag a pin to move it, or click to start again.");
}

// The service leaves out a route whose path repeats an earlier one: say so.
function coincidence(types) {
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
