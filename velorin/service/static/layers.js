// Map layers drawn on canvases of their own: the background of the extract
// (water, parks, woods, rivers) under the streets, and the place names over
// them. Positions are projected once; each layer is redrawn when the view
// settles, which stays fast where Leaflet's own vector layers would clip and
// simplify every shape on every frame.
"use strict";

const BACKGROUND_STYLES = {
  woods: { fill: "#e9f5e1" },
  parks: { fill: "#d3f9d8" },
  water: { fill: "#a5d8ff", stroke: "#74c0fc" },
  rivers: { stroke: "#74c0fc", width: 1.6 },
  coastlines: { stroke: "#339af0", width: 2.2 },
};

function project(lon, lat) {
  return L.CRS.EPSG3857.latLngToPoint(L.latLng(lat, lon), 0);
}

// A layer of one canvas covering the view and a margin around it; subclasses
// draw in `draw(ctx, toScreen)`, where toScreen(x, y) maps zoom-0 pixels.
const CanvasLayer = L.Layer.extend({
  options: { pane: "overlayPane" },
  onAdd(map) {
    this._canvas = L.DomUtil.create("canvas", "map-canvas", map.getPane(this.options.pane));
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
    this.draw(ctx, scale, origin, map.getZoom());
  },
});

// Water, parks, woods and rivers of the extract, from the service's /background.
const BackgroundLayer = CanvasLayer.extend({
  initialize(background, options) {
    L.setOptions(this, options);
    this._kinds = [];
    for (const f of background.features) {
      const style = BACKGROUND_STYLES[f.properties.kind];
      if (!style) continue;
      const g = f.geometry;
      const paths = g.type === "MultiPolygon" ? g.coordinates.map((polygon) => polygon[0])
        : g.type === "MultiLineString" ? g.coordinates : [];
      this._kinds.push({
        style, closed: g.type === "MultiPolygon",
        paths: paths.map((ring) => Float64Array.from(ring.flatMap(([lon, lat]) => {
          const p = project(lon, lat);
          return [p.x, p.y];
        }))),
      });
    }
  },
  draw(ctx, scale, origin) {
    for (const { style, closed, paths } of this._kinds) {
      ctx.beginPath();
      for (const xy of paths) {
        ctx.moveTo(xy[0] * scale - origin.x, xy[1] * scale - origin.y);
        for (let i = 2; i < xy.length; i += 2) {
          ctx.lineTo(xy[i] * scale - origin.x, xy[i + 1] * scale - origin.y);
        }
        if (closed) ctx.closePath();
      }
      if (closed && style.fill) {
        ctx.fillStyle = style.fill;
        ctx.fill("evenodd");
      }
      if (style.stroke) {
        ctx.strokeStyle = style.stroke;
        ctx.lineWidth = style.width || 0.8;
        ctx.stroke();
      }
    }
  },
});

// Town and village names over the streets; smaller places appear as one zooms in.
const LabelLayer = CanvasLayer.extend({
  initialize(background, options) {
    L.setOptions(this, options);
    this._places = background.features
      .filter((f) => f.properties.kind === "place")
      .map((f) => ({ ...f.properties, at: project(...f.geometry.coordinates) }))
      .sort((a, b) => a.rank - b.rank);
  },
  draw(ctx, scale, origin, zoom) {
    const taken = [];  // boxes of the names written, so that none overlaps another
    ctx.textAlign = "center";
    ctx.textBaseline = "middle";
    ctx.lineJoin = "round";
    for (const p of this._places) {
      // Cities and towns always, villages from zoom 12, the rest from zoom 14.
      if (p.rank > 1 && zoom < (p.rank === 2 ? 12 : 14)) continue;
      const size = Math.max(11, 16 - 1.5 * p.rank);
      ctx.font = `${p.rank <= 2 ? "600 " : ""}${size}px system-ui, sans-serif`;
      const x = p.at.x * scale - origin.x;
      const y = p.at.y * scale - origin.y;
      const w = ctx.measureText(p.name).width / 2 + 3;
      const box = [x - w, y - size / 2 - 2, x + w, y + size / 2 + 2];
      if (taken.some((b) => box[0] < b[2] && b[0] < box[2] && box[1] < b[3] && b[1] < box[3])) {
        continue;
      }
      taken.push(box);
      ctx.lineWidth = 3.5;
      ctx.strokeStyle = "rgba(255, 255, 255, 0.9)";
      ctx.strokeText(p.name, x, y);
      ctx.fillStyle = "#212529";
      ctx.fillText(p.name, x, y);
    }
  },
});
