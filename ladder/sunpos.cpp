// Sun position (zenith angle and azimuth) for a time in UT and a place, after
// the PSA algorithm of the Plataforma Solar de Almeria, in double precision.
#include <algorithm>
#include <cmath>

#include "ladder/ladder.h"

void sunpos(const int32_t *time, const double *location, double *result) {
    constexpr double kPi = 3.14159265358979323846;
    constexpr double kRad = kPi / 180.0;
    constexpr double kEarthMeanRadiusOverAu = 4.2587565907513806e-5;
    // 64-bit day arithmetic: any field values give a defined result.
    const int64_t year = time[0], month = time[1], day = time[2];
    const double hours = double(time[3]) + (double(time[4]) + double(time[5]) / 60.0) / 60.0;

    // Days since the J2000 epoch.
    const int64_t a = (month - 14) / 12;
    const int64_t jd = (1461 * (year + 4800 + a)) / 4 + (367 * (month - 2 - 12 * a)) / 12 -
                       (3 * ((year + 4900 + a) / 100)) / 4 + day - 32075;
    const double n = double(jd) - 0.5 + hours / 24.0 - 2451545.0;

    // Ecliptic coordinates.
    const double omega = 2.1429 - 0.0010394594 * n;
    const double mean_lon = 4.8950630 + 0.017202791698 * n;
    const double anomaly = 6.2400600 + 0.0172019699 * n;
    const double ecl_lon = mean_lon + 0.03341607 * std::sin(anomaly) + 0.00034894 * std::sin(2 * anomaly) - 0.0001134 -
                           0.0000203 * std::sin(omega);
    const double obliquity = 0.4090928 - 6.2140e-9 * n + 0.0000396 * std::cos(omega);

    // Celestial coordinates.
    const double sin_lon = std::sin(ecl_lon);
    double ra = std::atan2(std::cos(obliquity) * sin_lon, std::cos(ecl_lon));
    if (ra < 0.0) ra += 2 * kPi;
    const double decl = std::asin(std::sin(obliquity) * sin_lon);

    // Local coordinates.
    const double gmst = 6.6974243242 + 0.0657098283 * n + hours;
    const double lmst = (gmst * 15 + location[0]) * kRad;
    const double hour_angle = lmst - ra;
    const double lat = location[1] * kRad;
    const double cos_lat = std::cos(lat), sin_lat = std::sin(lat);
    const double cos_ha = std::cos(hour_angle);
    // With the sun overhead (or underfoot) rounding may carry the cosine just
    // past 1 (or -1), where acos gives no number.
    const double cos_zenith = std::clamp(cos_lat * cos_ha * std::cos(decl) + std::sin(decl) * sin_lat, -1.0, 1.0);
    double zenith = std::acos(cos_zenith);
    double azimuth = std::atan2(-std::sin(hour_angle), std::tan(decl) * cos_lat - sin_lat * cos_ha);
    if (azimuth < 0.0) azimuth += 2 * kPi;
    azimuth /= kRad;
    // A negative angle a hair below 0 comes up to 360 exactly: that is 0.
    if (azimuth >= 360.0) azimuth -= 360.0;
    zenith += kEarthMeanRadiusOverAu * std::sin(zenith);
    result[0] = zenith / kRad;
    result[1] = azimuth;
}
