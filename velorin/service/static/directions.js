// The directions of the selected route: its steps as the service gives them
// (each feature's `directions`), with the distance to the next step. Hovering
// a step marks its place on the map.
"use strict";

const directionsBox = document.getElementById("directions");
const directionsList = directionsBox.querySelector("ol");
let stepMarker = null;

function clearDirections() {
  directionsList.replaceChildren();
  directionsBox.hidden = true;
  if (stepMarker) { stepMarker.remove(); stepMarker = null; }
}

function showDirections(feature, label, colour) {
  clearDirections();
  const steps = feature.properties.directions || [];
  if (!steps.length) return;
  directionsBox.querySelector("h2 span").textContent = label.toLowerCase();
  for (const step of steps) {
    const item = document.createElement("li");
    item.dataset.maneuver = step.maneuver;
    const text = document.createElement("span");
    text.textContent = step.instruction;
    item.append(text);
    if (step.distance_m > 0) {
      const far = document.createElement("span");
      far.className = "far";
      far.textContent = metres(step.distance_m);
      item.append(far);
    }
    item.addEventListener("mouseenter", () => {
      if (stepMarker) stepMarker.remove();
      stepMarker = L.circleMarker([step.lat, step.lon], {
        radius: 9, color: colour, weight: 3, fillColor: "#fff", fillOpacity: 0.9,
        interactive: false,
      }).addTo(map);
    });
    item.addEventListener("mouseleave", () => {
      if (stepMarker) { stepMarker.remove(); stepMarker = null; }
    });
    directionsList.append(item);
  }
  directionsBox.hidden = false;
}
