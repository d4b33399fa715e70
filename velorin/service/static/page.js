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

const map = L.map("map", { preferCanvas: true, zoomSnap: 0.25, maxZoom: 20 });
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

function setState(state, message, isError = false) {
  document.body.dataset.state = state;
  statusLine.textContent = message;
  statusLine.classList.toggle("error", isError);
}

function pin(latlng, kind, text) {
  const icon = L.divIcon({ className: `pin pin-${kind}`, html: text, iconSize: [22, 22] });
  const marker = L.marker(latlng, { icon, draggable: true, keyboard: false }).addTo(map);
  marker.on("dragend", requestRoutes);
  return marker;
}

async function loadNetwork() {
  setState("loading", "Loading the road network…");
  try {
    const [health, network] = await Promise.all([getJson("health"), getJson("network")]);
    document.getElementById("map-name").textContent = health.map;
    document.title = `velorin: ${health.map}`;
    const layer = L.geoJSON(network, {
      interactive: false,
      style: (f) => ({ color: STRESS_COLOURS[f.properties.lts || 0], weight: 1.5, opacity: 0.9 }),
    }).addTo(map);
    if (!network.features.some((f) => f.properties.lts)) {
      document.getElementById("legend").hidden = true;
    }
    const bounds = layer.getBounds();
    if (bounds.isValid()) map.fitBounds(bounds, { padding: [10, 10] });
    else map.setView([0, 0], 2);
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
  if (!start || finish) {
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
  const query = new URLSearchParams({ from: place(start), to: place(finish), eps: epsChoice.value });
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
    layer.setStyle({ opacity: type && !on ? 0.2 : 0.85, weight: on ? style.weight + 3 : style.weight });
    if (on) layer.bringToFront();
  }
  if (!type) {
    ROUTE_TYPES.filter((t) => routeLayers[t])
      .sort((a, b) => ROUTE_STYLES[b].weight - ROUTE_STYLES[a].weight)
      .forEach((t) => routeLayers[t].bringToFront());
  }
  for (const row of table.tBodies[0].rows) row.classList.toggle("active", row.dataset.routeType === type);
}

loadNetwork();
