"""korvane_fleet/lonlat.py: longitude and latitude (WGS84, degrees) to metres and back, in a
transverse Mercator frame around a given centre, one centre per point.

The frame has scale 1 along its central meridian, x east and y north of the centre. The series
in the third flattening are Krüger's, to sixth order, as Karney gives them ("Transverse
Mercator with an accuracy of a few nanometers", 2011): far below a millimetre within thousands
of kilometres of the centre, so any trip's own frame loses nothing.
"""

from __future__ import annotations

import numpy as np

A_AXIS = 6378137.0
FLATTENING = 1 / 298.257223563
_n = FLATTENING / (2 - FLATTENING)
_E = np.sqrt(FLATTENING * (2 - FLATTENING))
# The rectifying radius: metres per radian of the conformal sphere's meridian.
_RADIUS = A_AXIS / (1 + _n) * (1 + _n**2 / 4 + _n**4 / 64 + _n**6 / 256)
_ALPHA = (
    _n / 2 - 2 * _n**2 / 3 + 5 * _n**3 / 16 + 41 * _n**4 / 180 - 127 * _n**5 / 288 + 7891 * _n**6 / 37800,
    13 * _n**2 / 48 - 3 * _n**3 / 5 + 557 * _n**4 / 1440 + 281 * _n**5 / 630 - 1983433 * _n**6 / 1935360,
    61 * _n**3 / 240 - 103 * _n**4 / 140 + 15061 * _n**5 / 26880 + 167603 * _n**6 / 181440,
    49561 * _n**4 / 161280 - 179 * _n**5 / 168 + 6601661 * _n**6 / 7257600,
    34729 * _n**5 / 80640 - 3418889 * _n**6 / 1995840,
    212378941 * _n**6 / 319334400,
)
_BETA = (
    _n / 2 - 2 * _n**2 / 3 + 37 * _n**3 / 96 - _n**4 / 360 - 81 * _n**5 / 512 + 96199 * _n**6 / 604800,
    _n**2 / 48 + _n**3 / 15 - 437 * _n**4 / 1440 + 46 * _n**5 / 105 - 1118711 * _n**6 / 3870720,
    17 * _n**3 / 480 - 37 * _n**4 / 840 - 209 * _n**5 / 4480 + 5569 * _n**6 / 90720,
    4397 * _n**4 / 161280 - 11 * _n**5 / 504 - 830251 * _n**6 / 7257600,
    4583 * _n**5 / 161280 - 108847 * _n**6 / 3991680,
    20648693 * _n**6 / 638668800,
)


def _conformal(tan_lat):
    """tan of the conformal latitude, from tan of the geodetic one."""
    sigma = np.sinh(_E * np.arctanh(_E * tan_lat / np.hypot(1.0, tan_lat)))
    return tan_lat * np.hypot(1.0, sigma) - sigma * np.hypot(1.0, tan_lat)


def _forward(lon, lat, lon0):
    """(easting, northing from the equator) in metres, central meridian lon0; degrees in."""
    dlon = np.radians((lon - lon0 + 180.0) % 360.0 - 180.0)
    tan_c = _conformal(np.tan(np.radians(lat)))
    xi0 = np.arctan2(tan_c, np.cos(dlon))
    eta0 = np.arcsinh(np.sin(dlon) / np.hypot(tan_c, np.cos(dlon)))
    xi, eta = xi0.copy(), eta0.copy()
    for j, alpha in enumerate(_ALPHA, start=1):
        xi += alpha * np.sin(2 * j * xi0) * np.cosh(2 * j * eta0)
        eta += alpha * np.cos(2 * j * xi0) * np.sinh(2 * j * eta0)
    return _RADIUS * eta, _RADIUS * xi


def to_local(lon, lat, lon0, lat0):
    """(x, y) in metres of each point in the frame around its centre (lon0, lat0)."""
    lon, lat, lon0, lat0 = (np.asarray(v, dtype=np.float64) for v in (lon, lat, lon0, lat0))
    x, northing = _forward(lon, lat, lon0)
    return x, northing - _forward(lon0, lat0, lon0)[1]


def from_local(x, y, lon0, lat0):
    """(lon, lat) in degrees of points at (x, y) metres in the frame around (lon0, lat0)."""
    x, y, lon0, lat0 = (np.asarray(v, dtype=np.float64) for v in (x, y, lon0, lat0))
    xi = (y + _forward(lon0, lat0, lon0)[1]) / _RADIUS
    eta = x / _RADIUS
    xi0, eta0 = xi.copy(), eta.copy()
    for j, beta in enumerate(_BETA, start=1):
        xi0 -= beta * np.sin(2 * j * xi) * np.cosh(2 * j * eta)
        eta0 -= beta * np.cos(2 * j * xi) * np.sinh(2 * j * eta)
    tan_c = np.sin(xi0) / np.hypot(np.sinh(eta0), np.cos(xi0))
    dlon = np.arctan2(np.sinh(eta0), np.cos(xi0))
    # Newton's method for tan of the geodetic latitude: a few steps reach full precision.
    tan_lat = tan_c.copy()
    for _ in range(4):
        guess = _conformal(tan_lat)
        tan_lat = tan_lat + (tan_c - guess) / np.hypot(1.0, guess) * (1 + (1 - _E**2) * tan_lat**2) / (
            (1 - _E**2) * np.hypot(1.0, tan_lat)
        )
    lon = (lon0 + np.degrees(dlon) + 180.0) % 360.0 - 180.0
    return lon, np.degrees(np.arctan(tan_lat))
