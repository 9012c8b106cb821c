import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts

Rectangle {
    id: root

    property string titleText: qsTr("Pelora")

    signal systemSettingsRequested()
    signal closeRequested()

    // Pages other than the home page show a way back to it at the left.
    property bool backVisible: false

    component MenuTextButton: Button {
        id: textButton

        flat: true
        hoverEnabled: true
        // The Material style insets the background; the pill is the button's full height.
        topInset: 0
        bottomInset: 0
        implicitHeight: 36
        Layout.preferredHeight: 36
        implicitWidth: textButton.contentItem.implicitWidth + textButton.leftPadding + textButton.rightPadding
        leftPadding: 14
        rightPadding: 14
        font.pixelSize: 13
        font.bold: true

        background: Rectangle {
            readonly property color ink: textButton.Material.foreground

            radius: 18
            border.width: 0
            color: textButton.pressed ? Qt.rgba(ink.r, ink.g, ink.b, 0.14)
                 : textButton.hovered ? Qt.rgba(ink.r, ink.g, ink.b, 0.08) : "transparent"
        }
        contentItem: Text {
            text: textButton.text
            color: textButton.Material.foreground
            font.pixelSize: textButton.font.pixelSize
            font.bold: true
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
            elide: Text.ElideRight
        }
    }

    component MenuIconButton: ToolButton {
        id: iconButton

        property url iconNormal
        property url iconHovered: iconButton.iconNormal
        property url iconPressed: iconButton.iconNormal

        hoverEnabled: true
        // The icon alone does not say what the button does.
        ToolTip.visible: iconButton.hovered && iconButton.ToolTip.text !== ""
        ToolTip.delay: 500
        topInset: 0
        bottomInset: 0
        implicitWidth: 36
        implicitHeight: 36
        Layout.preferredWidth: 36
        Layout.preferredHeight: 36
        font.pixelSize: 16

        background: Rectangle {
            readonly property color ink: iconButton.Material.foreground

            radius: 18
            border.width: 0
            color: iconButton.pressed ? Qt.rgba(ink.r, ink.g, ink.b, 0.14)
                 : iconButton.hovered ? Qt.rgba(ink.r, ink.g, ink.b, 0.08) : "transparent"
        }
        contentItem: Item {
            Image {
                anchors.centerIn: parent
                width: 16
                height: 16
                fillMode: Image.PreserveAspectFit
                smooth: true
                mipmap: true
                source: iconButton.pressed ? iconButton.iconPressed
                      : iconButton.hovered ? iconButton.iconHovered : iconButton.iconNormal
            }
        }
    }

    implicitHeight: 56
    color: root.Material.background
    border.width: 1
    border.color: root.Material.dividerColor

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 14
        anchors.rightMargin: 10
        spacing: 12

        MenuTextButton {
            objectName: "backButton"
            visible: root.backVisible
            text: qsTr("‹ 首页")
            onClicked: Router.navigate("/home")
        }

        Label {
            objectName: "titleLabel"
            text: root.titleText
            font.pixelSize: 20
            font.bold: true
            color: root.Material.foreground
        }

        Item {
            Layout.fillWidth: true
        }

        Rectangle {
            Layout.preferredHeight: 40
            Layout.preferredWidth: menuRow.implicitWidth + 4
            Layout.alignment: Qt.AlignVCenter
            color: root.Material.background
            radius: 20
            border.width: 1
            border.color: root.Material.dividerColor

            RowLayout {
                id: menuRow

                anchors.fill: parent
                anchors.margins: 2
                spacing: 6

                MenuTextButton {
                    objectName: "sensorButton"
                    text: qsTr("传感器")
                    onClicked: Router.navigate("/sensor")
                }

                MenuIconButton {
                    objectName: "consoleButton"
                    iconNormal: "../../image/btn_debug.png"
                    ToolTip.text: qsTr("通信监视")
                    onClicked: Router.navigate("/console")
                }

                MenuTextButton {
                    objectName: "recordsButton"
                    text: qsTr("记录")
                    onClicked: Router.navigate("/records")
                }

                MenuTextButton {
                    objectName: "fleetButton"
                    text: qsTr("站点")
                    onClicked: Router.navigate("/fleet")
                }

                MenuTextButton {
                    objectName: "settingsButton"
                    text: qsTr("系统设置")
                    onClicked: root.systemSettingsRequested()
                }

                Rectangle {
                    Layout.preferredWidth: 1
                    Layout.fillHeight: true
                    color: root.Material.dividerColor
                    opacity: 0.8
                }

                MenuIconButton {
                    objectName: "closeButton"
                    iconNormal: "../../image/btn_close_normal.png"
                    iconHovered: "../../image/btn_close_hovered.png"
                    iconPressed: "../../image/btn_close_pushed.png"
                    ToolTip.text: qsTr("关闭")
                    onClicked: {
                        root.closeRequested()
                        Qt.quit()
                    }
                }
            }
        }
    }
}
