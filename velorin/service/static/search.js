// The search boxes: place names of the map (the service's /places), offered
// as one types; choosing one puts its pin there (setPin in page.js).
"use strict";

function searchBox(kind) {
  const input = document.getElementById(`${kind}-place`);
  const list = document.getElementById(`${kind}-suggestions`);
  let offered = [];
  let active = -1;
  let timer = null;
  let asked = null;  // AbortController of the question in flight

  async function ask(text) {
    if (asked) asked.abort();
    const controller = new AbortController();
    asked = controller;
    const query = new URLSearchParams({ q: text, limit: 8 });
    const answer = await getJson(`places?${query}`, { signal: controller.signal });
    return asked === controller ? answer.places : null;
  }

  async function suggest() {
    const text = input.value.trim();
    if (!text) { show([]); return; }
    try {
      const places = await ask(text);
      if (places) show(places, places.length ? "" : `No place of this map is called “${text}”.`);
    } catch (err) {
      if (err.name !== "AbortError") show([], err.message);
    }
  }

  function show(places, message = "") {
    offered = places;
    active = -1;
    list.replaceChildren();
    for (const [i, place] of places.entries()) {
      const item = document.createElement("li");
      item.setAttribute("role", "option");
      item.textContent = place.label;
      const kindText = document.createElement("span");
      kindText.className = "kind";
      kindText.textContent = place.kind.replace("_", " ");
      item.append(kindText);
      // On mousedown, before the box loses its focus and hides the list.
      item.addEventListener("mousedown", (e) => { e.preventDefault(); choose(offered[i]); });
      list.append(item);
    }
    if (message) {
      const item = document.createElement("li");
      item.className = "empty";
      item.textContent = message;
      list.append(item);
    }
    list.hidden = !places.length && !message;
  }

  function mark(i) {
    active = i;
    [...list.querySelectorAll("li[role=option]")].forEach((item, j) => {
      item.classList.toggle("active", j === i);
    });
  }

  function choose(place) {
    input.value = place.label;
    show([]);
    setPin(kind, L.latLng(place.lat, place.lon));
  }

  input.addEventListener("input", () => {
    clearTimeout(timer);
    timer = setTimeout(suggest, 120);
  });
  input.addEventListener("keydown", async (e) => {
    if (e.key === "ArrowDown" || e.key === "ArrowUp") {
      e.preventDefault();
      if (offered.length) {
        const step = e.key === "ArrowDown" ? 1 : -1;
        mark((active + step + offered.length) % offered.length);
      }
    } else if (e.key === "Enter") {
      e.preventDefault();
      clearTimeout(timer);
      if (active >= 0) { choose(offered[active]); return; }
      const text = input.value.trim();
      if (!text) return;
      try {
        const places = await ask(text);
        if (places && places.length) choose(places[0]);
        else if (places) show([], `No place of this map is called “${text}”.`);
      } catch (err) {
        if (err.name !== "AbortError") show([], err.message);
      }
    } else if (e.key === "Escape") {
      show([]);
    }
  });
  input.addEventListener("blur", () => show([]));
  return input;
}

const searchBoxes = { start: searchBox("start"), finish: searchBox("finish") };
// Enter chooses a place, never sends the form (set here: the page allows no inline handlers).
document.getElementById("search").addEventListener("submit", (e) => e.preventDefault());
// A pin placed by a click no longer is the place named in its box.
placeChosen = (kind) => { searchBoxes[kind].value = ""; };
// The boxes answer Enter themselves: the form is never sent.
document.getElementById("search").addEventListener("submit", (e) => e.preventDefault());
