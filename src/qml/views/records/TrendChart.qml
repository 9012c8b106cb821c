import QtQuick
import QtQuick.Shapes
import Pelora

// The live weight of the last minutes as a line, the records on it as dots.
Rectangle {
    id: root

    property int windowMinutes: 1
    readonly property real _plotWidth: Math.max(0, root.width - 70)
    readonly property real _plotHeight: Math.max(0, root.height - 30)
    property var _points: []
    property var _marks: []
    property var _range: [0, 1]

    function refresh() {
        const span = root.windowMinutes * 60000
        root._points = WeighRecorder.trendPoints(span, root._plotWidth, root._plotHeight)
        root._marks = WeighRecorder.recordPoints(span, root._plotWidth, root._plotHeight)
        root._range = WeighRecorder.trendRange(span)
    }

    color: "white"
    border.color: "#d0d7e2"
    radius: 6

    onWindowMinutesChanged: root.refresh()
    on_PlotWidthChanged: root.refresh()
    on_PlotHeightChanged: root.refresh()

    // Redrawn a few times a second at most, whatever the sensor's rate.
    Timer {
        id: redraw

        interval: 250
        onTriggered: root.refresh()
    }

    Connections {
        target: WeighRecorder

        function onTrendChanged() {
            if (!redraw.running)
                redraw.start()
        }
    }

    Item {
        id: plot

        x: 60
        y: 10
        width: root._plotWidth
        height: root._plotHeight

        Repeater {
            model: 5
            delegate: Rectangle {
                required property int index

                y: parent.height * index / 4
                width: parent.width
                height: 1
                color: "#eef1f5"
            }
        }

        Shape {
            anchors.fill: parent

            ShapePath {
                strokeColor: "#4C5CC5"
                strokeWidth: 2
                fillColor: "transparent"

                PathPolyline {
                    path: root._points
                }
            }
        }

        Repeater {
            objectName: "recordMarks"

            model: root._marks
            delegate: Rectangle {
                required property point modelData

                x: modelData.x - 5
                y: modelData.y - 5
                width: 10
                height: 10
                radius: 5
                color: "#F59E0B"
                border.color: "white"
            }
        }
    }

    Text {
        x: 4
        y: plot.y - 6
        width: 52
        horizontalAlignment: Text.AlignRight
        text: Number(root._range[1]).toFixed(2)
        color: "#607080"
        font.pixelSize: 12
    }
    Text {
        x: 4
        y: plot.y + plot.height - 8
        width: 52
        horizontalAlignment: Text.AlignRight
        text: Number(root._range[0]).toFixed(2)
        color: "#607080"
        font.pixelSize: 12
    }
    Text {
        x: plot.x
        y: plot.y + plot.height + 6
        text: qsTr("%1 分钟前").arg(root.windowMinutes)
        color: "#607080"
        font.pixelSize: 12
    }
    Text {
        x: plot.x + plot.width - width
        y: plot.y + plot.height + 6
        text: qsTr("现在（公斤）")
        color: "#607080"
        font.pixelSize: 12
    }
}
